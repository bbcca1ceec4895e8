"""What readers leave behind in the process: Python's thread table after open/close churn,
and file descriptors once readers are closed but still referenced."""

import logging
import os
import threading
import time

import pytest

from vantle.feed_contract import StreamStatus
from vantle.live_feed import LiveFeed

from tests.child import run_python
from tests.helpers import refused_url, wait_for

pytestmark = pytest.mark.usefixtures("short_timeouts")


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def python_threads():
    return threading.active_count(), len(threading.enumerate())


def test_streaming_threads_never_join_the_thread_table(rtsp_server, http_server, logs):
    # Debug records from GStreamer's streaming threads (pad-added, decoder choice, errors)
    # are what used to make Python register those threads.
    def churn_once():
        feeds = [
            LiveFeed(rtsp_server.url("/h264"), latency=200, runtime_options={}),
            LiveFeed(http_server.url("/live.ts"), runtime_options={}),
            LiveFeed(refused_url(), runtime_options={}),
        ]
        # Both URL readers get as far as choosing a decoder before they are closed.
        for feed in feeds[:2]:
            feed.new_frame_event.wait(5)
        for feed in feeds:
            feed.wait_until_closed()

    churn_once()
    baseline = python_threads()
    deadline = time.monotonic() + 8
    rounds = 0
    while time.monotonic() < deadline:
        churn_once()
        rounds += 1
    assert rounds >= 2
    # Earlier tests' threads may still be ending: only growth counts.
    assert wait_for(lambda: python_threads() <= baseline, 5), (baseline, [t.name for t in threading.enumerate()])
    assert not [t for t in threading.enumerate() if isinstance(t, threading._DummyThread)]
    # The records still arrive, under their own logger and level, by the log thread.
    decoder = [r for r in logs.records if r.getMessage().startswith("The decodebin is using decoder")]
    assert {r.name.split("://")[0] for r in decoder} == {"qv_streaming.url(rtsp", "qv_streaming.url(http"}
    assert {r.levelno for r in decoder} == {logging.INFO}
    assert {r.threadName for r in decoder} == {"StreamingLogThread"}


def test_closed_readers_release_their_descriptors(rtsp_server, http_server):
    urls = [rtsp_server.url("/h264"), http_server.url("/live.ts"), refused_url()]
    # First use opens what GStreamer keeps for the process (plugins, thread pools).
    for url in urls:
        with LiveFeed(url, latency=200, runtime_options={}) as feed:
            # A frame, or for the refused URL its first failure.
            wait_for(lambda: feed.new_frame_event.is_set() or feed.stats()["last_error"] is not None, 5)
    time.sleep(0.5)
    baseline = open_fds()

    feeds = [LiveFeed(url, latency=200, runtime_options={}) for url in urls * 2]
    assert all(feed.new_frame_event.wait(10) for feed in feeds[:2])
    assert open_fds() > baseline
    for feed in feeds:
        feed.wait_until_closed()
    assert all(feed.status is StreamStatus.CLOSED for feed in feeds)
    # The readers are still referenced; their pipelines are not.
    assert wait_for(lambda: open_fds() <= baseline, 5), open_fds() - baseline
    assert all(feed.latest_frame is not None for feed in feeds[:2])


def test_exit_while_streaming_threads_log(rtsp_server):
    # Debug records keep coming from streaming threads while the interpreter exits: the log
    # thread must neither hold up the exit nor enter Python once it has begun.
    script = f"""
import logging, sys, time
logging.basicConfig(stream=sys.stdout, level=logging.DEBUG, format="%(threadName)s %(message)s")
from vantle import loop_host
from vantle.live_feed import LiveFeed
loop_host.start()
feeds = [LiveFeed({rtsp_server.url("/h264")!r}, latency=200, runtime_options={{}}),
         LiveFeed({refused_url()!r}, runtime_options={{}})]
assert feeds[0].new_frame_event.wait(10)
time.sleep(0.5)
print("exiting")
"""
    started = time.monotonic()
    result = run_python(script, env={"STREAMING_LOGLEVEL": "DEBUG"}, timeout=30)
    assert (result.returncode, result.stderr) == (0, "")
    assert "exiting" in result.stdout and "StreamingLogThread The decodebin is using decoder" in result.stdout
    assert time.monotonic() - started < 15
