"""The picture size changes mid-stream (/resize: 320x240 red, 640x360 blue, 322x242 green, in
turn): every frame has the new shape and is one uniform colour, so no frame is torn between two
pictures or copied with the wrong row stride, and nothing is rebuilt."""

import time

import numpy as np
import pytest

from vantle.live_feed import LiveFeed

from tests.faults import close_within, report, rebuilds

pytestmark = pytest.mark.usefixtures("short_timeouts")

# BGR colour of each picture size served by /resize.
PICTURES = {(240, 320, 3): (0, 0, 255), (360, 640, 3): (255, 0, 0), (242, 322, 3): (0, 255, 0)}
ORDER = list(PICTURES)
WATCH_S = 6.0  # more than one full turn of 3 x 1.5 s


def test_frames_follow_a_size_change(rtsp_server, logs):
    with LiveFeed(rtsp_server.url("/resize"), latency=200, runtime_options={}) as feed:
        assert feed.new_frame_event.wait(10)
        frames, last = [], None
        deadline = time.monotonic() + WATCH_S
        while time.monotonic() < deadline:
            received_at, frame = feed.latest_frame
            if received_at != last:
                last = received_at
                frames.append((received_at, frame))  # each array keeps its own frame alive
            time.sleep(0.005)
        close_within(feed)

    shapes = []
    for _, frame in frames:
        assert frame.shape in PICTURES, frame.shape
        pixels = frame.reshape(-1, 3).astype(int)
        # Any pixel of another picture, or of row padding, stands out from a solid colour.
        assert np.abs(pixels - pixels[0]).max() <= 8, frame.shape
        assert any(np.abs(pixels[0] - colour).max() <= 20 for colour in PICTURES.values()), pixels[0]
        if not shapes or shapes[-1] != frame.shape:
            shapes.append(frame.shape)
    # The sizes come in the server's order, each one in turn.
    assert len(shapes) >= 3 and set(shapes) == set(PICTURES)
    for before, after in zip(shapes, shapes[1:]):
        assert ORDER.index(after) == (ORDER.index(before) + 1) % len(ORDER), shapes
    switch_gaps = [b[0] - a[0] for a, b in zip(frames, frames[1:]) if a[1].shape != b[1].shape]
    assert rebuilds(feed) == 0
    report("resize", frames=len(frames), size_changes=len(shapes) - 1, longest_switch_gap_s=max(switch_gaps))
