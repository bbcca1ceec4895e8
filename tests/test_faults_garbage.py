"""Servers that answer with garbage: random bytes, absurd Content-Length, SDP for a codec nothing
can depayload or of several megabytes, random or truncated MPEG-TS, and a body trickling one byte
a second. No crash: the reader halts (or never starts), keeps retrying, and closes promptly."""

import time

import pytest

from vantle.feed_contract import StreamStatus
from vantle.live_feed import LiveFeed

from tests.faults import StatusTrail, close_within, report, restarters, rebuilds
from tests.helpers import wait_for
from tests.streams import FaultServer

pytestmark = pytest.mark.usefixtures("short_timeouts")
S = StreamStatus
HALTS = [S.INITIALIZING, S.HALTED]

# mode -> (scheme, statuses the reader shows in order, a log line that names the failure)
CASES = {
    "rtsp-random": ("rtsp", HALTS, "Could not receive message"),
    "rtsp-huge-length": ("rtsp", HALTS, "Could not receive message"),
    "rtsp-negative-length": ("rtsp", HALTS, "Could not receive message"),
    "rtsp-bogus-codec": ("rtsp", HALTS, "Could not find compatible element for caps"),
    "rtsp-huge-sdp": ("rtsp", HALTS, "Method Not Valid"),
    "http-random": ("http", HALTS, "typefind"),
    "http-random-head": ("http", HALTS, "streaming stopped"),
    # Plays what arrived, ends, and does so again after every rebuild.
    "http-truncated": ("http", [S.INITIALIZING, S.STREAMING, S.HALTED, S.STREAMING], "Received EOS"),
    "http-trickle": ("http", [S.INITIALIZING], "failed to start playing"),
}


@pytest.mark.parametrize("mode", CASES)
def test_garbage_from_the_server(logs, mode):
    scheme, statuses, failure = CASES[mode]
    before = restarters()
    with FaultServer(mode) as server:
        with LiveFeed(server.url("/stream", scheme=scheme), latency=200, runtime_options={}) as feed:
            trail = StatusTrail(feed)
            started = time.monotonic()
            # Failed pipelines are rebuilt at once: the failure may be logged after the rebuilds.
            logged = lambda: any(failure in r.getMessage() for r in logs.records)  # noqa: E731
            assert wait_for(lambda: rebuilds(feed) >= 2 and logged(), 10), [r.getMessage() for r in logs.records]
            two_rebuilds_s = time.monotonic() - started
            if S.STREAMING in statuses:
                assert wait_for(lambda: trail.seen[-1] is S.STREAMING, 5)
            seen = trail.stop()
            close_s = close_within(feed)
    messages = [r.getMessage() for r in logs.records]
    assert any(failure in m for m in messages), messages
    assert seen[:len(statuses)] == statuses
    assert set(seen) <= set(statuses)
    assert (feed.latest_frame is not None) == (S.STREAMING in statuses)
    assert wait_for(lambda: restarters() == before, 2)
    report("garbage", mode=mode, two_rebuilds_s=two_rebuilds_s, statuses=[s.value for s in seen], close_s=close_s)
