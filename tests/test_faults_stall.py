"""A server that stops answering (SIGSTOP) and resumes (SIGCONT): the reader rebuilds while it is
stopped and streams again once it runs."""

import os
import signal
import time

import pytest

from vantle.feed_contract import StreamStatus
from vantle.live_feed import LiveFeed

from tests.faults import SERVERS, close_within, first_frame_after, report, rebuilds
from tests.helpers import shortened_timeouts, side_by_side, wait_for


def stall(kind):
    """Stops `kind`'s server while a reader streams from it and lets it go on once the reader was
    rebuilt twice; returns (seconds to the first frame after, rebuilds, status while stopped,
    seconds the close took)."""
    server_type, path = SERVERS[kind]
    with server_type() as server:
        with LiveFeed(server.url(path), latency=200, runtime_options={}) as feed:
            assert feed.new_frame_event.wait(10)
            os.kill(server.proc.pid, signal.SIGSTOP)
            try:
                stopped_at = time.time()
                # The stall ends the pipeline after 2 s; rebuilt ones cannot start while it sleeps.
                assert wait_for(lambda: rebuilds(feed) >= 2, 12), feed.stats()["errors"]
                assert feed.latest_frame[0] < stopped_at + 1  # frames already in flight may still land
                status_while_stopped = feed.status
                assert status_while_stopped is not StreamStatus.CLOSED
            finally:
                os.kill(server.proc.pid, signal.SIGCONT)
            resumed = time.monotonic()
            recovery = first_frame_after(feed, resumed, 15)
            assert recovery is not None, "no frame within 15 s of SIGCONT"
            assert wait_for(lambda: feed.status is StreamStatus.STREAMING, 2)
            return recovery, rebuilds(feed), status_while_stopped, close_within(feed)


@pytest.fixture(scope="module")
def stalls():
    """The stall of each kind of server, side by side."""
    with shortened_timeouts():
        return side_by_side(stall, SERVERS)


@pytest.mark.parametrize("kind", SERVERS)
def test_stopped_server_resumes(stalls, kind):
    recovery, rebuild_count, status_while_stopped, close_s = stalls[kind].result()
    report("stall", kind=kind, recovery_s=recovery, rebuilds=rebuild_count, status_while_stopped=status_while_stopped.value,
           close_s=close_s)
