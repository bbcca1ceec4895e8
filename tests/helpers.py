"""Small helpers shared by the test modules."""

import concurrent.futures
import contextlib
import os
import socket
import time

import pytest

# Multiplies the short timeouts below: scripts/sanitize.sh sets it for ThreadSanitizer, whose
# slowdown makes a pipeline miss a two-second start.
TIMEOUT_SCALE = float(os.environ.get("VANTLE_TEST_TIMEOUT_SCALE", "1"))


@contextlib.contextmanager
def shortened_timeouts(frame_timeout=2.0):
    """Readers built inside give up and rebuild after 2 s (`frame_timeout` for frames) instead of
    30 and 120; for fixtures wider than one test (the `short_timeouts` fixture is one test's)."""
    from vantle import live_feed

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(live_feed, "_STATE_CHANGE_TIMEOUT", 2 * TIMEOUT_SCALE)
        patch.setattr(live_feed, "_FRAME_TIMEOUT", frame_timeout * TIMEOUT_SCALE)
        yield


def wait_for(predicate, timeout=10.0):
    """Polls `predicate` until it holds or `timeout` seconds passed; returns whether it held."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def caps_structure(caps, index=0):
    """Structure `index` of `caps`, as a Gst.Structure that outlives the caps.

    GStreamer's own Python overrides (python3-gst-1.0; 1.26 on Debian 13) hand it out inside a
    context manager that keeps the caps alive only until it exits: a copy is taken inside.
    """
    handed = caps.get_structure(index)
    if not hasattr(handed, "__enter__"):
        return handed
    with handed as structure:
        return structure.copy()


def refused_url(scheme="rtsp"):
    """A URL on a local port where nothing listens."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    return f"{scheme}://127.0.0.1:{port}/nothing"


# Plays (its live source runs) but the sink never prerolls, so the pipeline stays PAUSED.
NEVER_PLAYS = "videotestsrc is-live=true ! valve drop=true ! identity name={url} ! appsink name=main_sink"


def side_by_side(run, cases, at_once=None):
    """Runs `run(case)` for every case, `at_once` of them (default: all) at a time on threads of
    their own, so that cases which wait share their waits; returns {case: future}: `future.result()`
    gives what `run` returned or raises what it raised, so each case's test still fails on its own."""
    cases = list(cases)
    with concurrent.futures.ThreadPoolExecutor(at_once or len(cases), thread_name_prefix="side-by-side") as pool:
        return {case: pool.submit(run, case) for case in cases}
