"""A listener that accepts connections and never answers, as rtsp:// and http://: the reader never
streams, rebuilds after each grace period, closes promptly (right after opening too) and leaves
no supervision thread behind."""

import time

import pytest

from vantle import loop_host

loop_host.start()

from vantle.feed_contract import StreamStatus  # noqa: E402
from vantle.live_feed import LiveFeed  # noqa: E402

from tests.faults import StatusTrail, close_within, report, restarters, rebuilds  # noqa: E402
from tests.helpers import wait_for  # noqa: E402
from tests.streams import FaultServer  # noqa: E402

pytestmark = pytest.mark.usefixtures("short_timeouts")
NOT_PLAYING = "Pipeline failed to start playing before timeout. Shutting the pipeline down..."


@pytest.fixture(scope="module")
def silent_server():
    with FaultServer("silent") as server:
        yield server


@pytest.mark.parametrize("scheme", ["rtsp", "http"])
def test_silent_listener(silent_server, logs, scheme):
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
        assert wait_for(lambda: rebuilds(feed) >= 2, 10), [r.getMessage() for r in logs.records]
        two_rebuilds_s = time.monotonic() - started
        seen = trail.stop()
        assert feed.latest_frame is None
        close_s = close_within(feed)
    messages = [r.getMessage() for r in logs.records]
    assert messages.count(NOT_PLAYING) >= 2
    assert set(seen) <= {StreamStatus.INITIALIZING, StreamStatus.HALTED}
    assert wait_for(lambda: restarters() == before, 2)
    report("silent", scheme=scheme, two_rebuilds_s=two_rebuilds_s, statuses=[s.value for s in seen],
           early_close_s=early_close_s, close_s=close_s)
