"""Helpers shared by the fault tests (tests/test_faults_*.py)."""

import json
import os
import threading
import time
import traceback

from vantle.feed_contract import StreamStatus

from tests.streams import HttpServer, RtspServer

RESTARTER = "PipelineRestarterThread"
# A server of each URL scheme and a path it streams, for the tests that stop, kill or restart
# a server of their own.
SERVERS = {"rtsp": (RtspServer, "/h264"), "http": (HttpServer, "/live.ts")}
# How long close() plus wait_until_closed() may take before the test calls it a hang.
CLOSE_LIMIT = 5.0


def rebuilds(feed):
    """How often `feed`'s pipeline was rebuilt, as its stats count it."""
    return feed.stats()["rebuilds"]


def restarters():
    return sum(t.name == RESTARTER for t in threading.enumerate())


def report(family, **figures):
    """Prints a test's measured figures and, when VANTLE_FAULT_FIGURES names a file, appends them
    to it as one JSON line (run pytest with -s to see the printed ones)."""
    line = json.dumps({"family": family, **{k: round(v, 3) if isinstance(v, float) else v
                                             for k, v in figures.items()}})
    print("fault figures:", line)
    path = os.environ.get("VANTLE_FAULT_FIGURES")
    if path:
        with open(path, "a", encoding="utf-8") as out:
            out.write(line + "\n")


def close_within(feed, limit=CLOSE_LIMIT):
    """Closes `feed` and waits until it is done, on a helper thread so that a hang fails the test
    instead of blocking it; returns the seconds it took."""
    started = time.monotonic()
    closer = threading.Thread(target=feed.wait_until_closed, daemon=True)
    closer.start()
    closer.join(limit)
    assert not closer.is_alive(), f"closing {feed!r} took more than {limit} s"
    assert feed.status is StreamStatus.CLOSED
    return time.monotonic() - started


def first_frame_after(feed, since, timeout):
    """Seconds from `since` (monotonic) to the first frame received after it, or None."""
    wall_since = time.time() - (time.monotonic() - since)
    deadline = since + timeout
    while time.monotonic() < deadline:
        frame = feed.latest_frame
        if frame is not None and frame[0] > wall_since:
            return time.monotonic() - since
        feed.new_frame_event.wait(0.05)
        feed.new_frame_event.clear()
    return None


class StatusTrail:
    """Every status a reader shows, in order, polled every 10 ms on a helper thread; it starts
    with INITIALIZING, as every reader does, even when a fast failure passed it already."""

    def __init__(self, feed):
        self.feed, self.seen, self.running = feed, [StreamStatus.INITIALIZING], True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            status = self.feed.status
            if status is not self.seen[-1]:
                self.seen.append(status)
            time.sleep(0.01)

    def stop(self):
        self.running = False
        self.thread.join()
        return self.seen


def error_texts(error):
    """Everything an error shows: its text, repr, args, and the formatted chain with causes."""
    return [str(error), repr(error), repr(error.args), "".join(traceback.format_exception(error))]


def record_texts(record):
    """Everything a log record shows: logger name, message, arguments and any traceback."""
    texts = [record.name, record.getMessage(), repr(record.args)]
    if record.exc_info:
        texts.append("".join(traceback.format_exception(*record.exc_info)))
    return texts
