"""Many exits of processes that hold readers in every state: eight streaming, eight failing and
eight just opened. Shared by tests/test_exit_stop.py and scripts/exit_churn.py.

Each child opens its readers, prints "ready <monotonic time>" and leaves the interpreter with
all of them open; an exit is clean when its status is 0 and its stderr is empty."""

import concurrent.futures
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

from tests.helpers import refused_url

CHILD = """
import logging, sys, time
logging.getLogger("qv_streaming").addHandler(logging.NullHandler())
logging.getLogger("qv_streaming").propagate = False
from vantle import loop_host
from vantle.live_feed import LiveFeed
loop_host.start()
streaming, failing, starting = (argument.split() for argument in sys.argv[1:4])
feeds = [LiveFeed(url, latency=200) for url in streaming]
deadline = time.monotonic() + 20
for feed in feeds:  # on a busy machine one may still be starting: it exits as it is
    feed.new_frame_event.wait(max(0, deadline - time.monotonic()))
feeds += [LiveFeed(url, latency=200) for url in failing]
time.sleep(float(sys.argv[4]))  # the failing ones fail, and rebuild
feeds += [LiveFeed(url, latency=200) for url in starting]
print("ready", time.monotonic(), flush=True)
"""


def stream_urls(rtsp_server, http_server, silent_server, unauthorized_server):
    """(streaming, failing, starting): eight URLs each."""
    playing = [rtsp_server.url("/h264")] * 3 + [rtsp_server.url("/mjpeg"), rtsp_server.url("/h264-audio")] + \
        [http_server.url("/live.ts")] * 3
    failing = [refused_url("rtsp"), refused_url("http"), silent_server.url("/x", scheme="rtsp"),
               silent_server.url("/x", scheme="http"), unauthorized_server.url("/cam"),
               http_server.url("/missing"), rtsp_server.url("/missing"), refused_url("rtsp")]
    return playing, failing, list(playing)


@dataclass
class Outcome:
    exits: int = 0
    unclean: list = field(default_factory=list)  # (status, stderr) of each exit that was not clean
    exit_seconds: list = field(default_factory=list)  # from "ready" to the end of the process


def one_exit(urls, settle):
    streaming, failing, starting = urls
    result = subprocess.run([sys.executable, "-c", CHILD, " ".join(streaming), " ".join(failing), " ".join(starting),
                             str(settle)], capture_output=True, text=True, timeout=120, cwd=tempfile.gettempdir())
    ended = time.monotonic()
    words = result.stdout.split()
    exit_seconds = ended - float(words[1]) if len(words) == 2 and words[0] == "ready" else None
    return result.returncode, result.stderr, exit_seconds


def run_exits(urls, count, parallel=2, settle=0.5):
    """Runs `count` children, `parallel` at a time; returns the Outcome."""
    outcome = Outcome()
    with concurrent.futures.ThreadPoolExecutor(parallel) as pool:
        for status, stderr, exit_seconds in pool.map(lambda _: one_exit(urls, settle), range(count)):
            outcome.exits += 1
            if status != 0 or stderr:
                outcome.unclean.append((status, stderr[-2000:]))
            if exit_seconds is not None:
                outcome.exit_seconds.append(exit_seconds)
    return outcome
