"""The page's "save clip" button: the last N seconds of a stream's own video as an MP4 download,
written from the reader's encoded ring buffer (no re-encoding) into a temporary directory."""

import tempfile
import time
from http import HTTPStatus
from pathlib import Path

DEFAULT_SECONDS = 10.0
MAX_SECONDS = 600.0
WRITE_TIMEOUT = 30.0


class ClipUnavailable(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


def save_recent(view, seconds_text, head=False):
    """(file name, MP4 bytes) of the last ``seconds_text`` seconds of ``view``'s stream; for HEAD
    only checks that a clip can be made."""
    from vantle.live_feed import ClipError

    try:
        seconds = DEFAULT_SECONDS if seconds_text is None else float(seconds_text)
        if not 0 < seconds <= MAX_SECONDS:
            raise ValueError
    except ValueError:
        raise ClipUnavailable(HTTPStatus.BAD_REQUEST, f"seconds must be a number above 0, at most {MAX_SECONDS:g}")
    reader = view.reader
    if getattr(reader, "encoded_buffer", lambda: None)() is None:
        raise ClipUnavailable(HTTPStatus.CONFLICT, "this stream keeps no encoded video for clips")
    name = f"{view.name}-{time.strftime('%Y%m%d-%H%M%S')}.mp4"
    if head:
        return name, b""
    with tempfile.TemporaryDirectory(prefix="vantle-clip-") as folder:
        try:
            clip = reader.save_clip(Path(folder) / name, before=seconds, after=0.0)
            clip.wait(timeout=WRITE_TIMEOUT)
        except (ClipError, OSError, TimeoutError) as error:
            raise ClipUnavailable(HTTPStatus.SERVICE_UNAVAILABLE, f"no clip: {error}") from None
        return name, Path(clip.path).read_bytes()
