"""A server killed (SIGKILL) and started again on the same port: the reader halts, keeps
rebuilding while nothing listens, and streams again from the new server."""

import time

import pytest

from vantle.feed_contract import StreamStatus
from vantle.live_feed import LiveFeed

from tests.faults import SERVERS, close_within, first_frame_after, report, rebuilds
from tests.helpers import wait_for

pytestmark = pytest.mark.usefixtures("short_timeouts")


@pytest.mark.parametrize("kind", SERVERS)
def test_killed_server_restarted_on_the_same_port(kind, logs):
    server_type, path = SERVERS[kind]
    with server_type() as server:
        port = server.port
        with LiveFeed(server.url(path), latency=200, runtime_options={}) as feed:
            assert feed.new_frame_event.wait(10)
            server.proc.kill()
            server.proc.wait(5)
            killed_at = time.time()
            server.stop()
            assert wait_for(lambda: rebuilds(feed) >= 2, 12), [r.getMessage() for r in logs.records]
            assert feed.status is StreamStatus.HALTED
            assert feed.latest_frame[0] < killed_at + 1  # frames already in flight may still land
            server.start()
            assert server.port == port
            restarted = time.monotonic()
            recovery = first_frame_after(feed, restarted, 15)
            assert recovery is not None, "no frame within 15 s of the restart"
            assert wait_for(lambda: feed.status is StreamStatus.STREAMING, 2)
            close_s = close_within(feed)
    report("restart", kind=kind, recovery_s=recovery, close_s=close_s)
