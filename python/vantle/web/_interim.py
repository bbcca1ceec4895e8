"""Stand-in for LiveFeed.stats(), frame_number and next_frame on readers that lack them."""

import threading
import time
from types import SimpleNamespace

from vantle.feed_contract import StreamStatus
from vantle.logger import redact_url


class InterimReader:
    def __init__(self, reader, url=""):
        self._reader = reader
        self._url = url
        self._lock = threading.Lock()
        self._number = 0
        self._frame = None
        self._halts = 0
        self._opened_at = time.time()
        self._thread = threading.Thread(target=self._track, daemon=True, name="interim-tracker")
        self._thread.start()

    def __getattr__(self, name):
        return getattr(self._reader, name)

    def _track(self):
        previous = None
        status = self._reader.status
        while status != StreamStatus.CLOSED:
            if self._reader.new_frame_event.wait(0.05):
                self._reader.new_frame_event.clear()
                latest = self._reader.latest_frame
                if latest is not None and latest[0] != previous:
                    previous = latest[0]
                    with self._lock:
                        self._number += 1
                        self._frame = SimpleNamespace(number=self._number, received_at=latest[0], image=latest[1])
            new = self._reader.status
            if new != status and new == StreamStatus.HALTED:
                self._halts += 1
            status = new

    @property
    def frame_number(self):
        return self._number

    def next_frame(self, after=0, timeout=None):
        end = None if timeout is None else time.monotonic() + timeout
        while True:
            with self._lock:
                if self._frame is not None and self._frame.number > after:
                    return self._frame
            if self._reader.status == StreamStatus.CLOSED:
                return None
            if end is not None and time.monotonic() >= end:
                return None
            time.sleep(0.01)

    def stats(self):
        frame = self._frame
        shape = None if frame is None else frame.image.shape
        return {
            "status": self._reader.status.value,
            "frame_number": self._number,
            "frames_received": self._number,
            "halts": self._halts,
            "last_error": None,
            "opened_at": self._opened_at,
            "age": None if frame is None else max(time.time() - frame.received_at, 0.0),
            "source": None if shape is None else {"codec": None, "width": shape[1], "height": shape[0],
                                                  "framerate": None},
            "limited": False,
            "decoder": None,
            "hardware": False,
            "url": redact_url(self._url),
        }
