"""Small helpers shared by the test modules."""

import socket
import time


def wait_for(predicate, timeout=10.0):
    """Polls `predicate` until it holds or `timeout` seconds passed; returns whether it held."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def refused_url(scheme="rtsp"):
    """A URL on a local port where nothing listens."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    return f"{scheme}://127.0.0.1:{port}/nothing"


# Plays (its live source runs) but the sink never prerolls, so the pipeline stays PAUSED.
NEVER_PLAYS = "videotestsrc is-live=true ! valve drop=true ! identity name={url} ! appsink name=main_sink"
