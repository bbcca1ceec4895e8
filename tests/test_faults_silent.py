"""A listener that accepts connections and never answers, as rtsp:// and http://: the reader never
streams, rebuilds after each grace period, closes promptly (right after opening too) and leaves
no supervision thread behind."""

import time

import pytest

from vantle.feed_contract import StreamStatus
from vantle.live_feed import LiveFeed

from tests.faults import StatusTrail, close_within, report, restarters, rebuilds
from tests.helpers import shortened_timeouts, side_by_side, wait_for
from tests.streams import FaultServer

NOT_PLAYING = "The pipeline did not start playing within"
SCHEMES = ["rtsp", "http"]


@pytest.fixture(scope="module")
def silences():
    """Per scheme, side by side against one silent listener: the seconds a reader closed while its
    first connection waited took to close, and of one left to two grace periods: the seconds to its
    second rebuild, the statuses it showed, its latest frame, its errors and the seconds its close
    took; and the supervision threads there were before and after."""
    def silence(scheme):
        url = silent_server.url("/stream", scheme=scheme)
        # One reader closed while its first connection waits for an answer ...
        early = LiveFeed(url, latency=200, runtime_options={})
        time.sleep(0.3)
        early_close_s = close_within(early)
        # ... and one left to its supervision for two grace periods.
        with LiveFeed(url, latency=200, runtime_options={}) as feed:
            trail = StatusTrail(feed)
            started = time.monotonic()
            assert wait_for(lambda: rebuilds(feed) >= 2, 10), feed.stats()["errors"]
            two_rebuilds_s = time.monotonic() - started
            seen = trail.stop()
            errors = [error["message"] for error in feed.stats()["errors"]]
            return early_close_s, two_rebuilds_s, seen, feed.latest_frame, errors, close_within(feed)

    before = restarters()
    with FaultServer("silent") as silent_server, shortened_timeouts():
        outcomes = side_by_side(silence, SCHEMES)
    return outcomes, before, wait_for(lambda: restarters() == before, 2)


@pytest.mark.parametrize("scheme", SCHEMES)
def test_silent_listener(silences, scheme):
    outcomes, restarters_before, no_restarter_left = silences
    early_close_s, two_rebuilds_s, seen, latest_frame, errors, close_s = outcomes[scheme].result()
    assert latest_frame is None
    assert sum(message.startswith(NOT_PLAYING) for message in errors) >= 2, errors
    assert set(seen) <= {StreamStatus.INITIALIZING, StreamStatus.HALTED}
    assert no_restarter_left, (restarters_before, restarters())
    report("silent", scheme=scheme, two_rebuilds_s=two_rebuilds_s, statuses=[s.value for s in seen],
           early_close_s=early_close_s, close_s=close_s)
