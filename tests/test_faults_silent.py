"""A listener that accepts connections and never answers, as rtsp:// and http://: the reader never
streams, rebuilds after each grace period, closes promptly (right after opening too) and leaves
no supervision thread behind."""

import time

import pytest

from vantle.feed_contract import StreamStatus
from vantle.live_feed import LiveFeed

from tests.faults import StatusTrail, close_within, report, restarters, rebuilds
from tests.helpers import wait_for
from tests.streams import FaultServer

pytestmark = pytest.mark.usefixtures("short_timeouts")
NOT_PLAYING = "The pipeline did not start playing within"


@pytest.fixture(scope="module")
def silent_server():
    with FaultServer("silent") as server:
        yield server


@pytest.mark.parametrize("scheme", ["rtsp", "http"])
def test_silent_listener(silent_server, scheme):
    url = silent_server.url("/stream", scheme=scheme)
    before = restarters()
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
        assert feed.latest_frame is None
        errors = [error["message"] for error in feed.stats()["errors"]]
        close_s = close_within(feed)
    assert sum(message.startswith(NOT_PLAYING) for message in errors) >= 2, errors
    assert set(seen) <= {StreamStatus.INITIALIZING, StreamStatus.HALTED}
    assert wait_for(lambda: restarters() == before, 2)
    report("silent", scheme=scheme, two_rebuilds_s=two_rebuilds_s, statuses=[s.value for s in seen],
           early_close_s=early_close_s, close_s=close_s)
