"""What the web page and its endpoints see of one stream: its stats with the delivered rate,
and its frames as JPEG, encoded once however many viewers ask for the same frame."""

import threading
import time

from vantle._frame_rate import FrameRate
from vantle.feed_contract import StreamStatus

JPEG_QUALITY = 80


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


class StreamView:
    """One reader as served by the web server."""

    def __init__(self, index, reader):
        self.index = index
        self.reader = reader
        self.name = f"stream-{index}"
        self._rate = FrameRate()
        self._jpeg_lock = threading.Lock()
        self._jpeg = (0, b"")  # (frame number, JPEG bytes)

    @property
    def closed(self):
        return self.reader.status == StreamStatus.CLOSED

    def stats(self):
        stats = dict(self.reader.stats())
        extra = {"index": self.index, "name": self.name, "fps": self._rate.update(stats)}
        if "failing_since" in stats:
            # Counted here, so a viewer whose clock is off still reads how long the stream has failed.
            since = stats["failing_since"]
            extra["failing_for"] = None if since is None else max(time.time() - since, 0.0)
        return {**extra, **stats}

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
