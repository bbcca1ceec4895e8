"""Capture times from RTCP sender reports, and frame sets aligned across cameras, checked against
test cameras that paint their capture wall-clock time into every picture."""

import asyncio
import contextlib
import threading
import time

import numpy as np
import pytest

from vantle.live_feed import LiveFeed, aligned, aligned_async

from tests.helpers import shortened_timeouts, side_by_side
from tests.streams import RtspServer
from tests.streams.clock_camera import read_painted

CUSTOM = ("videotestsrc is-live=true ! video/x-raw,width=64,height=48,framerate=20/1 ! identity name={url} ! "
          "videoconvert ! video/x-raw,format=BGR ! appsink name=main_sink sync=false")


class ClockServer(RtspServer):
    """An RTSP server whose clock cameras' wall clock is off by `offset` seconds."""

    def __init__(self, offset=0.0, **kwargs):
        super().__init__(**kwargs)
        self.offset = offset

    def extra_args(self):
        return ["--clock-offset", str(self.offset)]


def painted(frame):
    value = read_painted(frame.image)
    assert value is not None, "the painted capture time does not decode"
    return value


def collect(feed, count, timeout=30.0):
    """The next `count` frames that carry a capture time, and the receive time of the very first frame."""
    frames, first_received, after = [], None, 0
    deadline = time.monotonic() + timeout
    while len(frames) < count and time.monotonic() < deadline:
        frame = feed.next_frame(after, timeout=5)
        if frame is None:
            continue
        after = frame.number
        first_received = first_received or frame.received_at
        if frame.captured_at is not None:
            frames.append(frame)
    assert len(frames) == count, f"only {len(frames)} frames with a capture time in {timeout} s"
    return frames, first_received


@pytest.fixture(scope="module")
def clock_server():
    with ClockServer() as server:
        yield server


@pytest.fixture(scope="module")
def painted_runs():
    """Per transport (UDP, TCP): 60 frames with a capture time, the receive time of the first frame
    and the reader's stats then. The readers run side by side, each alone on a camera of its own:
    one that joined a camera already playing would get sender reports while it still starts up."""
    def run(transport):
        with ClockServer() as server, LiveFeed(server.url("/clock"), runtime_options={},
                                               proxied=transport == "tcp") as feed:
            frames, first_received = collect(feed, 60)
            return frames, first_received, feed.stats()

    return side_by_side(run, ["udp", "tcp"])


@pytest.mark.parametrize("transport", ["udp", "tcp"])
def test_captured_at_is_the_painted_capture_time(painted_runs, transport):
    frames, first_received, stats = painted_runs[transport].result()
    assert frames[0].received_at - first_received < 5.0, "no capture time within 5 s of the first frame"
    errors_ms = np.array([abs(frame.captured_at - painted(frame)) * 1000 for frame in frames])
    assert np.percentile(errors_ms, 95) < 5.0, f"p50 {np.median(errors_ms):.3f} ms, p95 {np.percentile(errors_ms, 95):.3f} ms"
    for frame in frames:  # one machine, one clock: taken before received, and not long before
        assert 0 < frame.received_at - frame.captured_at < 1.0
    assert stats["capture_clock"] == "rtcp" and stats["transport"] == transport
    assert 0 < stats["capture_offset_ms"] < 1000


def test_three_cameras_with_different_delays_give_aligned_sets(clock_server):
    paths = ["/clock", "/clock-150", "/clock-400"]
    feeds = [LiveFeed(clock_server.url(path), runtime_options={}, history=20) for path in paths]
    try:
        for feed in feeds:
            collect(feed, 25)
        time.sleep(1.0)  # a full second of delays for stats()
        delays = [feed.stats()["capture_offset_ms"] for feed in feeds]
        assert delays[1] - delays[0] == pytest.approx(150, abs=75), delays
        assert delays[2] - delays[0] == pytest.approx(400, abs=75), delays

        after = None
        for _ in range(5):
            found = aligned(feeds, tolerance=0.05, timeout=5, after=after)
            assert found is not None and list(found) == feeds
            captured = [found[feed].captured_at for feed in feeds]
            assert max(captured) - min(captured) <= 0.05
            for frame in found.values():
                assert abs(frame.captured_at - painted(frame)) < 0.005
            # Each later set is made of newer frames only.
            if after is not None:
                assert all(found[feed].number > after[feed] for feed in feeds)
            after = {feed: frame.number for feed, frame in found.items()}

        async def from_a_coroutine():
            return await aligned_async(feeds, tolerance=0.05, timeout=5, after=after)

        found = asyncio.run(from_a_coroutine())
        assert found is not None and all(found[feed].number > after[feed] for feed in feeds)
        captured = [frame.captured_at for frame in found.values()]
        assert max(captured) - min(captured) <= 0.05
    finally:
        for feed in feeds:
            feed.close()
        for feed in feeds:
            feed.wait_until_closed()
    # Closed readers have no newer frames: no set, at once.
    started = time.monotonic()
    assert aligned(feeds, timeout=5, after={feed: feed.frame_number for feed in feeds}) is None
    assert time.monotonic() - started < 1


@pytest.mark.parametrize("source", ["http", "custom"])
def test_sources_without_sender_reports_have_no_capture_time(http_server, source):
    if source == "http":
        feed = LiveFeed(http_server.url("/live.ts"), runtime_options={}, history=3)
    else:
        feed = LiveFeed("x", runtime_options={}, pipeline_str=CUSTOM, history=3)
    with feed:
        frame = feed.next_frame(feed.next_frame(timeout=15).number, timeout=5)
        assert frame is not None and frame.captured_at is None
        stats = feed.stats()
        assert stats["capture_clock"] is None and stats["capture_offset_ms"] is None
        converted = feed._frames_converted  # next_frame's waits may convert the frames they return
        assert aligned([feed], timeout=0.3) is None
        assert feed._frames_converted == converted  # the history holds decoded frames: none converted


# Readers take the timeouts set when they are made: one made at a time, each with its own.
MAKING = threading.Lock()


def follow_a_jump(timeouts):
    """Restarts a clock camera with its clock 30 s behind while a reader made with `timeouts`
    streams from it; returns the seconds from the new camera's first frame to the first frame
    whose capture time follows its clock, or None."""
    with ClockServer() as server:
        with MAKING, shortened_timeouts() if timeouts == "short" else contextlib.nullcontext():
            feed = LiveFeed(server.url("/clock"), runtime_options={})
        with feed:
            before, _ = collect(feed, 10)
            assert abs(before[-1].captured_at - painted(before[-1])) < 0.005
            server.offset = -30.0  # the camera's clock now runs 30 s behind
            server.restart()
            after = before[-1].number
            new_first, deadline = None, time.monotonic() + 60
            while time.monotonic() < deadline:
                frame = feed.next_frame(after, timeout=5)
                if frame is None:
                    continue
                after = frame.number
                camera_time = painted(frame)
                if camera_time > before[-1].received_at - 20:
                    continue  # still the old camera
                new_first = new_first or frame.received_at
                if frame.captured_at is not None:
                    # Never ahead of the camera's own clock, whichever mapping was used.
                    assert frame.captured_at - camera_time <= 1.0
                    if abs(frame.captured_at - camera_time) < 0.005:
                        return frame.received_at - new_first
            return None


# The restarted camera is a failure and a rebuild: with the default timeouts and with short ones.
@pytest.fixture(scope="module")
def jumps():
    return side_by_side(follow_a_jump, ["default", "short"])


@pytest.mark.parametrize("timeouts", ["default", "short"])
def test_capture_times_follow_a_sender_clock_that_jumped(jumps, timeouts):
    followed_after_s = jumps[timeouts].result()
    assert followed_after_s is not None, "capture times never followed the new clock"
    assert followed_after_s < 5.0
