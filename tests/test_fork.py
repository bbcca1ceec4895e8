"""A child created by fork: it gets a log thread of its own, so the records of its streaming
threads reach `logging`; and where its parent had started GStreamer, which cannot run in a forked
child, starting it or opening a reader there fails with an error that says so. The parent goes on
streaming either way."""

import pytest

from tests.child import run_python

PRELUDE = """
import logging, os, sys, threading, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # Python 3.12+: fork of a process with threads
records = []
handler = logging.Handler()
handler.emit = records.append
logging.getLogger("qv_streaming").addHandler(handler)
logging.getLogger("qv_streaming").setLevel(logging.DEBUG)
from vantle import loop_host
from vantle.live_feed import LiveFeed
url = os.environ["STREAM_URL"]

def child_status(pid):
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)
"""

# The parent has only imported vantle; the child starts GStreamer and streams.
CHILD_STREAMS = PRELUDE + """
pid = os.fork()
if pid == 0:
    loop_host.start()
    with LiveFeed(url, latency=200) as feed:
        ok = feed.new_frame_event.wait(15)
        threading.Event().wait(0.5)
    from_streaming_threads = [r for r in records if r.threadName == "StreamingLogThread"]
    print("child", ok, len(from_streaming_threads) > 0, flush=True)
    sys.exit(0)
print("parent", child_status(pid))
"""

# The parent streams; the child may not start GStreamer again.
CHILD_REFUSED = PRELUDE + """
loop_host.start()
feed = LiveFeed(url, latency=200)
assert feed.new_frame_event.wait(15)
pid = os.fork()
if pid == 0:
    for attempt in (loop_host.start, lambda: LiveFeed(url)):
        try:
            attempt()
        except RuntimeError as error:
            print("refused:", error, flush=True)
    sys.exit(0)
status = child_status(pid)
feed.new_frame_event.clear()
print("parent", status, feed.new_frame_event.wait(5))
"""


@pytest.mark.parametrize("case", ["child-streams", "child-refused"])
def test_fork(rtsp_server, case):
    script = {"child-streams": CHILD_STREAMS, "child-refused": CHILD_REFUSED}[case]
    result = run_python(script, env={"STREAM_URL": rtsp_server.url("/h264")}, timeout=60)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr[-2000:]
    lines = result.stdout.splitlines()
    if case == "child-streams":
        assert lines == ["child True True", "parent 0"]
    else:
        message = ("GStreamer cannot run in this process: it was forked from one that had started it, and a forked "
                   "child has none of its threads.")
        assert len(lines) == 3 and all(line.startswith(f"refused: {message}") for line in lines[:2]), lines
        assert lines[2] == "parent 0 True"
