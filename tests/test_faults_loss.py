"""RTP loss: the /lossy mount drops 3 % of its RTP packets after the payloader. The reader keeps
delivering well-formed frames, over UDP and over TCP (interleaved)."""

import time

import pytest

from vantle.feed_contract import StreamStatus
from vantle.live_feed import LiveFeed

from tests.faults import close_within, report, rebuilds

pytestmark = pytest.mark.usefixtures("short_timeouts")
WATCH_S = 5.0


@pytest.mark.parametrize("transport", ["udp", "tcp"])
def test_keeps_delivering_through_packet_loss(rtsp_server, logs, transport):
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
    gaps = [b - a for a, b in zip(times, times[1:])]
    fps = len(times) / WATCH_S
    report("loss", transport=transport, fps=fps, longest_gap_s=max(gaps), rebuilds=rebuilds(feed), close_s=close_s)
    assert shapes == {(240, 320, 3)}
    assert status is StreamStatus.STREAMING
    # The source sends 25 fps; losing a packet costs at most the frames up to the next keyframe
    # (one a second), never the stream.
    assert fps >= 5 and max(gaps) < 1.5
