"""Open/close churn from several threads over streaming, refused and silent URLs: afterwards the
process's threads, file descriptors and memory are back near where they started."""

import ctypes
import gc
import os
import random
import threading
import time

import pytest

from vantle.live_feed import LiveFeed

from tests.faults import report, restarters
from tests.helpers import refused_url, wait_for
from tests.streams import FaultServer

pytestmark = pytest.mark.usefixtures("short_timeouts")
WORKERS, ROUNDS = 4, 6


def native_threads():
    return len(os.listdir("/proc/self/task"))


def usage():
    """Threads, descriptors and resident memory; freed memory that the allocator keeps is given
    back first, so that RSS counts what is in use."""
    gc.collect()
    ctypes.CDLL(None).malloc_trim(0)
    with open("/proc/self/statm") as statm:
        rss_mib = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
    return {"native_threads": native_threads(), "python_threads": threading.active_count(),
            "fds": len(os.listdir("/proc/self/fd")), "rss_mib": rss_mib}


@pytest.fixture(scope="module")
def silent_server():
    with FaultServer("silent") as server:
        yield server


def test_open_close_churn(rtsp_server, http_server, silent_server):
    urls = [
        (rtsp_server.url("/h264"), True),
        (http_server.url("/live.ts"), True),
        (refused_url("rtsp"), False),
        (refused_url("http"), False),
        (silent_server.url("/x", scheme="rtsp"), False),
        (silent_server.url("/x", scheme="http"), False),
    ]
    closed, failures = [], []

    def churn(worker, rounds):
        rng = random.Random(worker)
        try:
            for round_ in range(rounds):
                url, streams = urls[(worker + round_) % len(urls)]
                with LiveFeed(url, latency=200, runtime_options={}) as feed:
                    if streams:
                        assert feed.new_frame_event.wait(10), url
                    time.sleep(rng.uniform(0, 0.4))
                closed.append(feed)
        except Exception as error:  # noqa: BLE001 (reported below)
            failures.append(repr(error))

    def run(workers, rounds):
        threads = [threading.Thread(target=churn, args=(i, rounds), daemon=True) for i in range(workers)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(90)
        assert not [t for t in threads if t.is_alive()], "open/close deadlocked"
        assert failures == []

    # Once through every kind of URL first, so that plugins, pools and caches exist.
    run(len(urls), 1)
    closed.clear()
    time.sleep(1)
    before = usage()
    started = time.monotonic()
    run(WORKERS, ROUNDS)
    churn_s = time.monotonic() - started
    readers = len(closed)
    assert wait_for(lambda: restarters() == 0, 5)
    # GStreamer's thread pools let their idle threads go after a while.
    wait_for(lambda: native_threads() <= before["native_threads"] + 4, 20)
    held = usage()  # every reader is closed, and still referenced
    closed.clear()
    after = usage()
    report("churn", readers=readers, churn_s=churn_s, before=before, closed_but_referenced=held, after=after)

    assert after["fds"] <= before["fds"] + 2
    assert after["native_threads"] <= before["native_threads"] + 4
    assert after["rss_mib"] <= before["rss_mib"] + 24
    # A closed reader holds no sockets or threads of its pipelines, even while referenced, and
    # streaming threads that log leave no dummy entries in Python's thread table.
    assert held["fds"] <= before["fds"] + 2
    assert held["native_threads"] <= before["native_threads"] + 4
    assert after["python_threads"] <= before["python_threads"]
