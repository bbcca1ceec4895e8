"""A step of the wall clock (NTP setting it after boot) while readers run: no healthy stream is
rebuilt and a stuck one is still rebuilt. libfaketime moves the wall clock of a child process
and leaves its monotonic clock alone."""

import glob
import os
import subprocess
import sys
import tempfile

import pytest

from tests.helpers import side_by_side

LIBFAKETIME = next(iter(sorted(glob.glob("/usr/lib/*/faketime/libfaketimeMT.so.1"))), None)

CHILD = """
import logging, sys, threading, time
messages = []
handler = logging.Handler()
handler.emit = lambda record: messages.append(record.getMessage())
logging.getLogger("qv_streaming").addHandler(handler)
from vantle import loop_host
import vantle.live_feed as live_feed
from vantle.live_feed import LiveFeed
live_feed._STATE_CHANGE_TIMEOUT = 2
live_feed._FRAME_TIMEOUT = 2
loop_host.start()
# Two frames a second: the newest frame is often older than the step.
healthy = LiveFeed("x://healthy", runtime_options={}, pipeline_str=(
    "videotestsrc is-live=true ! video/x-raw,width=64,height=48,framerate=2/1 ! identity name={url} ! "
    "videoconvert ! video/x-raw,format=BGR ! appsink name=main_sink"))
stuck = LiveFeed("x://stuck", runtime_options={}, pipeline_str=(
    "videotestsrc is-live=true ! valve drop=true ! identity name={url} ! appsink name=main_sink"))
assert healthy.new_frame_event.wait(5)
before = time.time()
with open(sys.argv[1], "w") as offset:
    offset.write(sys.argv[2] + "\\n")
threading.Event().wait(4.5)  # time.sleep() fails under libfaketime
print(round(time.time() - before, -2))
print(sum("hasn't produced a frame" in m for m in messages), sum("failed to start playing" in m for m in messages))
healthy.wait_until_closed()
stuck.wait_until_closed()
"""


STEPS = [3600, -3600]


def stepped(step):
    """Runs CHILD with its wall clock stepped by `step` seconds; returns the finished process."""
    with tempfile.TemporaryDirectory() as directory:
        offset = os.path.join(directory, "offset")
        with open(offset, "w") as file:
            file.write("+0\n")
        env = dict(os.environ, LD_PRELOAD=LIBFAKETIME, DONT_FAKE_MONOTONIC="1", FAKETIME_TIMESTAMP_FILE=offset,
                   FAKETIME_NO_CACHE="1")
        return subprocess.run([sys.executable, "-c", CHILD, offset, f"{step:+d}"], env=env, cwd=directory,
                              capture_output=True, text=True, timeout=60)


@pytest.fixture(scope="module")
def children():
    """The child of each step of STEPS, side by side."""
    return side_by_side(stepped, STEPS)


@pytest.mark.skipif(LIBFAKETIME is None, reason="libfaketime is not installed")
@pytest.mark.parametrize("step", STEPS)
def test_wall_clock_step(children, step):
    result = children[step].result()
    assert result.returncode == 0, result.stderr
    jumped, stalls, stuck_rebuilds = result.stdout.split()
    assert float(jumped) == step  # the wall clock really moved
    assert int(stalls) == 0  # the healthy stream was never taken for a stalled one
    assert int(stuck_rebuilds) >= 1  # 4.5 s with a 2 s start grace: the stuck one was rebuilt
