"""What the web page and its endpoints see of one stream: its stats with the delivered rate,
and its frames as JPEG, encoded once however many viewers ask for the same frame."""

import threading
import time
from collections import deque

from vantle.feed_contract import StreamStatus

JPEG_QUALITY = 80
RATE_WINDOW = 2.5  # seconds of frame-number samples behind the delivered rate


class JpegUnavailable(RuntimeError):
    """No JPEG encoder is installed."""


def jpeg_encoder():
    try:
        import simplejpeg
    except ImportError:
        raise JpegUnavailable("the web page needs simplejpeg: pip install 'vantle[web]'") from None
    return simplejpeg


def encode_jpeg(image, quality=JPEG_QUALITY):
    """JPEG bytes of a packed BGR image. libjpeg-turbo encodes with the GIL released."""
    return jpeg_encoder().encode_jpeg(image, quality=quality, colorspace="BGR", colorsubsampling="420")


class RateMeter:
    """Frames per second from the frame numbers seen over the last few seconds. It samples only
    when asked, so a stream nobody looks at costs nothing."""

    def __init__(self, window=RATE_WINDOW):
        self._window = window
        self._samples = deque()
        self._lock = threading.Lock()

    def sample(self, frame_number):
        now = time.monotonic()
        with self._lock:
            self._samples.append((now, frame_number))
            while len(self._samples) > 2 and now - self._samples[1][0] >= self._window:
                self._samples.popleft()
            then, first = self._samples[0]
            if now - then < 0.5:
                return None
            return max(frame_number - first, 0) / (now - then)


class StreamView:
    """One reader as served by the web server."""

    def __init__(self, index, reader):
        self.index = index
        self.reader = reader
        self.name = f"stream-{index}"
        self._rate = RateMeter()
        self._jpeg_lock = threading.Lock()
        self._jpeg = (0, b"")  # (frame number, JPEG bytes)

    @property
    def closed(self):
        return self.reader.status == StreamStatus.CLOSED

    def stats(self):
        stats = dict(self.reader.stats())
        fps = self._rate.sample(stats.get("frame_number") or 0)
        return {"index": self.index, "name": self.name, "fps": fps, **stats}

    def next_frame(self, after, timeout):
        """The newest frame numbered above ``after``, waiting up to ``timeout`` s without the GIL."""
        if timeout <= 0 and self.reader.frame_number <= after:
            return None  # no newer frame: nothing to read or convert
        return self.reader.next_frame(after=after, timeout=timeout)

    def jpeg(self, frame):
        with self._jpeg_lock:
            number, data = self._jpeg
            if number != frame.number:
                data = encode_jpeg(frame.image)
                self._jpeg = (frame.number, data)
            return data
