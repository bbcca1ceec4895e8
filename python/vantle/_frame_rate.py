"""Delivered frames per second of a reader, as ``vantle watch`` and its page show it."""

import threading
import time
from collections import deque

RATE_WINDOW = 2.0  # seconds of frames behind each figure
MIN_SPAN = 1.0  # no figure before the frames seen span this long
QUIET_AFTER = 1.0  # a stream without a frame for this long (or two of its frame intervals) counts as quiet


class FrameRate:
    """Frames per second from frame numbers and the times those frames were received.

    Each update records the newest frame's number and receive time from ``stats()`` (its
    ``frame_number`` and ``age``). The figure is the number of frames between two received frames
    at least ``window`` seconds apart, over the time between them: the sampling times do not enter
    it, so a refresh that comes late, or a burst of frames just before one, cannot push it above
    the rate the frames arrived at. Once a stream is quiet, the time since its newest frame counts
    too, so the figure falls to 0 rather than keep the last rate.
    """

    def __init__(self, window=RATE_WINDOW):
        self._window = window
        self._frames = deque()  # (monotonic receive time, frame number), oldest first
        self._lock = threading.Lock()

    def update(self, stats):
        """The rate after this stats() reading: None until frames span MIN_SPAN s, 0.0 without any."""
        now = time.monotonic()
        number, age = stats.get("frame_number") or 0, stats.get("age")
        with self._lock:
            frames = self._frames
            if number and age is not None and (not frames or number > frames[-1][1]):
                frames.append((now - age, number))
            if not frames:
                return 0.0
            newest_at, newest = frames[-1]
            oldest_at, oldest = frames[0]
            interval = (newest_at - oldest_at) / (newest - oldest) if newest > oldest else 0.0
            quiet = now - newest_at > max(QUIET_AFTER, 2 * interval)
            end = now if quiet else newest_at
            while len(frames) > 1 and frames[1][0] <= end - self._window:
                frames.popleft()
            start_at, start = frames[0]
            span = end - start_at
            if span < MIN_SPAN:
                return None
            return (newest - start) / span
