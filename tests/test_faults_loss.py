"""RTP loss: the /lossy mount drops 3 % of its RTP packets after the payloader. The reader keeps
delivering well-formed frames, over UDP and over TCP (interleaved)."""

import time

import pytest

from vantle.feed_contract import StreamStatus
from vantle.live_feed import LiveFeed

from tests.faults import close_within, report, rebuilds
from tests.helpers import shortened_timeouts, side_by_side
WATCH_S = 5.0


TRANSPORTS = ["udp", "tcp"]


@pytest.fixture(scope="module")
def watched(rtsp_server):
    """Per transport: the receive times and picture shapes of WATCH_S seconds of /lossy, the status
    then, and the reader's rebuilds and seconds its close took. The readers run side by side."""
    def watch(transport):
        with LiveFeed(rtsp_server.url("/lossy"), latency=200, runtime_options={}, proxied=transport == "tcp") as feed:
            assert feed.new_frame_event.wait(10)
            times, shapes = [], set()
            deadline = time.monotonic() + WATCH_S
            while time.monotonic() < deadline:
                received_at, frame = feed.latest_frame
                if not times or received_at != times[-1]:
                    times.append(received_at)
                    shapes.add(frame.shape)
                time.sleep(0.005)
            status = feed.status
            close_s = close_within(feed)
        return times, shapes, status, rebuilds(feed), close_s

    with shortened_timeouts():
        return side_by_side(watch, TRANSPORTS)


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_keeps_delivering_through_packet_loss(watched, transport):
    times, shapes, status, rebuild_count, close_s = watched[transport].result()
    gaps = [b - a for a, b in zip(times, times[1:])]
    fps = len(times) / WATCH_S
    report("loss", transport=transport, fps=fps, longest_gap_s=max(gaps), rebuilds=rebuild_count, close_s=close_s)
    assert shapes == {(240, 320, 3)}
    assert status is StreamStatus.STREAMING
    # The source sends 25 fps; losing a packet costs at most the frames up to the next keyframe
    # (one a second), never the stream.
    assert fps >= 5 and max(gaps) < 1.5
