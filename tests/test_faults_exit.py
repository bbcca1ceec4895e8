"""A process that exits while eight readers stream (with three more failing, in one case), or
while eight are still opening: it ends promptly with status 0 and nothing on stderr."""

import subprocess
import sys
import tempfile
import time

import pytest

from tests.faults import report
from tests.helpers import refused_url
from tests.streams import FaultServer

CHILD = """
import logging, sys, time
logging.getLogger("qv_streaming").addHandler(logging.NullHandler())
from vantle import loop_host
import vantle.live_feed as live_feed
from vantle.live_feed import LiveFeed
live_feed._STATE_CHANGE_TIMEOUT = 2
live_feed._FRAME_TIMEOUT = 2
loop_host.start()
streaming, failing, wait = sys.argv[1].split(), sys.argv[2].split(), sys.argv[3] == "wait"
feeds = [LiveFeed(url, latency=200, runtime_options={}) for url in streaming + failing]
deadline = time.monotonic() + 20
for feed in feeds[:len(streaming)] if wait else []:
    assert feed.new_frame_event.wait(max(0, deadline - time.monotonic())), feed
if failing:
    time.sleep(2.5)  # they are rebuilding by now
print("ready", len(feeds), time.monotonic(), flush=True)
"""


@pytest.fixture(scope="module")
def silent_server():
    with FaultServer("silent") as server:
        yield server


@pytest.mark.parametrize("case", ["eight-streaming", "eight-streaming-three-failing", "eight-opening"])
def test_exit_with_readers_open(rtsp_server, http_server, silent_server, case):
    failing = case == "eight-streaming-three-failing"
    streaming = [rtsp_server.url("/h264")] * 3 + [rtsp_server.url("/mjpeg"), rtsp_server.url("/h264-audio")] + \
        [http_server.url("/live.ts")] * 3
    broken = [refused_url("rtsp"), silent_server.url("/x", scheme="rtsp"), silent_server.url("/x", scheme="http")]
    result = subprocess.run([sys.executable, "-c", CHILD, " ".join(streaming), " ".join(broken if failing else []),
                             "no-wait" if case == "eight-opening" else "wait"],
                            capture_output=True, text=True, timeout=60, cwd=tempfile.gettempdir())
    ended = time.monotonic()
    assert (result.returncode, result.stderr) == (0, "")
    word, readers, ready_at = result.stdout.split()
    assert (word, int(readers)) == ("ready", len(streaming) + (len(broken) if failing else 0))
    exit_s = ended - float(ready_at)
    report("exit", case=case, readers=int(readers), exit_s=exit_s)
    assert exit_s < 10


WAITERS = """
import logging, sys, threading, time
logging.getLogger("qv_streaming").addHandler(logging.NullHandler())
logging.getLogger("qv_streaming").propagate = False
from vantle import loop_host
from vantle.feed_contract import Event
from vantle.live_feed import LiveFeed
loop_host.start()
feed = LiveFeed(sys.argv[1], latency=200, runtime_options={})
waits = {
    "event": lambda: Event().wait(0.02),
    "next_frame": lambda: feed.next_frame(after=10**9, timeout=0.02),
    "join": lambda: LiveFeed("test", pipeline_str="videotestsrc is-live=true ! identity name=buffer_src ! identity name={url} ! appsink name=main_sink",
                             runtime_options={}).wait_until_closed(),
}
def spin(wait):
    while True:
        wait()
for _ in range(4):
    threading.Thread(target=spin, args=(waits[sys.argv[2]],), daemon=True).start()
time.sleep(0.3)
"""


@pytest.mark.parametrize("wait", ["event", "next_frame", "join"])
def test_exit_while_daemon_threads_wait_in_native_code(rtsp_server, wait):
    # Daemon threads that keep entering and leaving native waits while the interpreter exits:
    # none may take the GIL back once finalization began (that aborted the process).
    for _ in range(5):
        result = subprocess.run([sys.executable, "-c", WAITERS, rtsp_server.url("/h264"), wait],
                                capture_output=True, text=True, timeout=60, cwd=tempfile.gettempdir())
        assert (result.returncode, result.stderr) == (0, "")
