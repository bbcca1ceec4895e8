"""Stream readers compared by the benchmark, behind one small interface.

Every reader opens N URLs and hands each decoded BGR frame that its consumer
takes to ``sink.deliver(stream, frame, native_time)`` the moment the frame is
in Python's hands, from whichever Python thread it arrives on (one per stream,
or a GStreamer streaming thread). What ``deliver`` does per frame (read the
frame's code, look up its send time, append one record) is the same for all
readers. The floor reader delivers nothing to Python and counts natively.

The consumer takes every frame, or (``sink.period`` set) about one per period
per stream: ``sink.due(stream)`` says whether the frame at hand is taken. The
peers still pull every frame from the stream, as a live reader must; their
usual forms convert every frame to BGR and drop the ones not taken, their
expert forms convert only the ones taken. vantle's consumer just reads the
newest frame once per period.

Readers:
    vantle        LiveFeed(url, latency=0); one Python thread per stream
                  waits on new_frame_event and takes latest_frame
    opencv        cv2.VideoCapture(url, cv2.CAP_FFMPEG), one thread per stream
                  calling read()
    opencv-grab   the same calling grab() for every frame and retrieve() only
                  for the frames taken
    pyav          av.open(url), one thread per stream decoding and converting
                  each frame with to_ndarray(format="bgr24")
    pyav-lazy     the same decoding every frame and converting only the frames
                  taken
    gst-python    rtspsrc latency=0 ! decodebin ! videoconvert !
                  video/x-raw,format=BGR ! appsink emit-signals=true, copying
                  each sample into numpy in a Python new-sample callback
    gst-floor     the same chain into fakesink: decoding and conversion with
                  no delivery to Python; frames counted from fakesink's stats

Both GStreamer sinks use sync=false: a reader that wants the newest frame
hands it on as soon as it is decoded (with sync=true the sink holds each frame
until its presentation time, about 20 ms more here).
"""

import os
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tests.helpers import caps_structure  # noqa: E402

OPEN_TIMEOUT_S = 15.0
READ_TIMEOUT_S = 5.0


def _bounded(fn, timeout_s, errors):
    """Run a teardown in a daemon thread and give up on it after ``timeout_s``."""
    t = threading.Thread(target=fn, daemon=True, name="teardown")
    t.start()
    t.join(timeout_s)
    if t.is_alive():
        errors.append(f"teardown took over {timeout_s:.0f} s (abandoned)")


class Skip(Exception):
    """The reader cannot run here (its package is missing)."""


class Reader:
    name = "?"
    delivers = True  # frames reach Python (False: counted natively)

    def __init__(self, urls, sink):
        self.urls = list(urls)
        self.sink = sink
        self.stop_event = threading.Event()
        self.errors = []
        self.threads = []

    def start(self):
        raise NotImplementedError

    def poll(self):
        """Called now and then from the main thread (bus messages and such)."""

    def native_counts(self):
        """Frames counted natively per stream (only for readers that deliver nothing)."""
        return None

    def native_first_times(self):
        return None

    def stop(self, timeout_s=5.0):
        self.stop_event.set()
        deadline = time.monotonic() + timeout_s
        for t in self.threads:
            t.join(max(0.0, deadline - time.monotonic()))

    def _error(self, stream, what):
        self.errors.append(f"stream {stream}: {what}")

    def _spawn(self, target, stream):
        t = threading.Thread(target=self._guard, args=(target, stream), daemon=True,
                             name=f"{self.name}-{stream}")
        self.threads.append(t)
        t.start()

    def _guard(self, target, stream):
        try:
            target(stream)
        except Exception as e:  # noqa: BLE001 - reported in the results
            self._error(stream, f"{type(e).__name__}: {e}")


# ---------------------------------------------------------------- vantle

class VantleReader(Reader):
    name = "vantle"

    def __init__(self, urls, sink):
        super().__init__(urls, sink)
        try:
            from vantle import loop_host
            from vantle.live_feed import LiveFeed
        except Exception as e:  # noqa: BLE001
            raise Skip(f"vantle.live_feed not importable: {type(e).__name__}: {e}") from e
        self.loop_host = loop_host
        self.LiveFeed = LiveFeed
        self.feeds = []

    def start(self):
        self.loop_host.start()
        self.feeds = [self.LiveFeed(url, latency=0, runtime_options={}) for url in self.urls]
        self.start_consumers()

    def start_consumers(self):
        target = self._consume if self.sink.period is None else self._consume_paced
        for i in range(len(self.feeds)):
            self._spawn(target, i)

    def _consume_paced(self, stream):
        """Reads the newest frame once per period (streams staggered across it)."""
        feed = self.feeds[stream]
        period = self.sink.period
        due = time.monotonic() + period * stream / len(self.feeds)
        last = None
        deadline = time.monotonic() + 3600
        while not self.stop_event.is_set() and time.monotonic() < deadline:
            if self.stop_event.wait(max(0.0, due - time.monotonic())):
                break
            due = max(due + period, time.monotonic())
            record = feed.latest_frame
            if record is None or record[0] == last:
                continue
            last = record[0]
            self.sink.deliver(stream, record[1], record[0])

    def _consume(self, stream):
        feed = self.feeds[stream]
        event = feed.new_frame_event
        last = None
        deadline = time.monotonic() + 3600
        while not self.stop_event.is_set() and time.monotonic() < deadline:
            if not event.wait(0.25):
                continue
            event.clear()
            record = feed.latest_frame
            if record is None:
                continue
            received_at, frame = record
            if received_at == last:
                continue
            last = received_at
            self.sink.deliver(stream, frame, received_at)

    def stop(self, timeout_s=5.0):
        super().stop(timeout_s)

        def down():
            for feed in self.feeds:
                try:
                    feed.close()
                except Exception as e:  # noqa: BLE001
                    self.errors.append(f"close: {e}")
            for feed in self.feeds:
                try:
                    feed.wait_until_closed()
                except Exception as e:  # noqa: BLE001
                    self.errors.append(f"wait_until_closed: {e}")

        _bounded(down, timeout_s, self.errors)


# ---------------------------------------------------------------- OpenCV

class OpenCVReader(Reader):
    name = "opencv"

    def __init__(self, urls, sink):
        super().__init__(urls, sink)
        try:
            import cv2
        except Exception as e:  # noqa: BLE001
            raise Skip(f"cv2 not importable: {e}") from e
        self.cv2 = cv2

    def start(self):
        for i in range(len(self.urls)):
            self._spawn(self._read, i)

    def _read(self, stream):
        cv2 = self.cv2
        cap = cv2.VideoCapture(self.urls[stream], cv2.CAP_FFMPEG,
                               [cv2.CAP_PROP_OPEN_TIMEOUT_MSEC, int(OPEN_TIMEOUT_S * 1000),
                                cv2.CAP_PROP_READ_TIMEOUT_MSEC, int(READ_TIMEOUT_S * 1000)])
        try:
            if not cap.isOpened():
                self._error(stream, "VideoCapture did not open")
                return
            deadline = time.monotonic() + 3600
            while not self.stop_event.is_set() and time.monotonic() < deadline:
                if not self._next(cap, stream):
                    return
        finally:
            cap.release()

    def _next(self, cap, stream):
        ok, frame = cap.read()
        if not ok:
            self._error(stream, "read() failed")
            return False
        if self.sink.due(stream):
            self.sink.deliver(stream, frame, None)
        return True


class OpenCVGrabReader(OpenCVReader):
    name = "opencv-grab"

    def _next(self, cap, stream):
        if not cap.grab():
            self._error(stream, "grab() failed")
            return False
        if self.sink.due(stream):
            ok, frame = cap.retrieve()
            if not ok:
                self._error(stream, "retrieve() failed")
                return False
            self.sink.deliver(stream, frame, None)
        return True


# ---------------------------------------------------------------- PyAV

class PyAVReader(Reader):
    name = "pyav"

    def __init__(self, urls, sink):
        super().__init__(urls, sink)
        try:
            import av
        except Exception as e:  # noqa: BLE001
            raise Skip(f"av not importable: {e}") from e
        self.av = av

    def start(self):
        for i in range(len(self.urls)):
            self._spawn(self._read, i)

    def _read(self, stream):
        container = self.av.open(self.urls[stream], timeout=(OPEN_TIMEOUT_S, READ_TIMEOUT_S))
        try:
            deadline = time.monotonic() + 3600
            for frame in container.decode(video=0):
                if self.stop_event.is_set() or time.monotonic() > deadline:
                    break
                self._take(frame, stream)
        finally:
            container.close()

    def _take(self, frame, stream):
        picture = frame.to_ndarray(format="bgr24")
        if self.sink.due(stream):
            self.sink.deliver(stream, picture, None)


class PyAVLazyReader(PyAVReader):
    name = "pyav-lazy"

    def _take(self, frame, stream):
        if self.sink.due(stream):
            self.sink.deliver(stream, frame.to_ndarray(format="bgr24"), None)


# ---------------------------------------------------------------- GStreamer from Python

def _gst():
    try:
        import gi
        gi.require_version("Gst", "1.0")
        from gi.repository import Gst
    except Exception as e:  # noqa: BLE001
        raise Skip(f"PyGObject/Gst not importable: {e}") from e
    Gst.init(None)
    return Gst


CHAIN = ("rtspsrc location={url} latency=0 ! decodebin ! videoconvert ! "
         "video/x-raw,format=BGR ! ")


class _GstBase(Reader):
    def __init__(self, urls, sink):
        super().__init__(urls, sink)
        self.Gst = _gst()
        self.pipelines = []

    def _poll_bus(self):
        Gst = self.Gst
        for i, p in enumerate(self.pipelines):
            bus = p.get_bus()
            for _ in range(100):
                msg = bus.pop_filtered(Gst.MessageType.ERROR | Gst.MessageType.EOS)
                if msg is None:
                    break
                if msg.type == Gst.MessageType.ERROR:
                    err, _dbg = msg.parse_error()
                    self._error(i, f"gst error: {err.message}")
                else:
                    self._error(i, "end of stream")

    def poll(self):
        self._poll_bus()

    def stop(self, timeout_s=5.0):
        super().stop(timeout_s)
        def down():
            for p in self.pipelines:
                p.set_state(self.Gst.State.NULL)

        _bounded(down, timeout_s, self.errors)


class GstPythonReader(_GstBase):
    name = "gst-python"

    def start(self):
        Gst = self.Gst
        for i, url in enumerate(self.urls):
            p = Gst.parse_launch(CHAIN.format(url=url) +
                                 "appsink name=sink emit-signals=true sync=false")
            p.get_by_name("sink").connect("new-sample", self._on_sample, i)
            self.pipelines.append(p)
        for p in self.pipelines:
            p.set_state(Gst.State.PLAYING)

    def _on_sample(self, appsink, stream):
        Gst = self.Gst
        sample = appsink.emit("pull-sample")
        if sample is None:
            return Gst.FlowReturn.ERROR
        s = caps_structure(sample.get_caps())
        w, h = s.get_value("width"), s.get_value("height")
        stride = (w * 3 + 3) & ~3
        buf = sample.get_buffer()
        ok, info = buf.map(Gst.MapFlags.READ)
        if not ok:
            return Gst.FlowReturn.ERROR
        try:
            frame = np.frombuffer(info.data, np.uint8, stride * h).reshape(h, stride)[:, :w * 3]
            frame = frame.reshape(h, w, 3).copy()
        finally:
            buf.unmap(info)
        if self.sink.due(stream):
            self.sink.deliver(stream, frame, None)
        return Gst.FlowReturn.OK


class GstFloorReader(_GstBase):
    name = "gst-floor"
    delivers = False

    def start(self):
        Gst = self.Gst
        self.first = [None] * len(self.urls)
        self.sinks = []
        for i, url in enumerate(self.urls):
            p = Gst.parse_launch(CHAIN.format(url=url) + "fakesink name=sink sync=false")
            sink = p.get_by_name("sink")
            # One-shot probe: Python runs for the first buffer only.
            sink.get_static_pad("sink").add_probe(Gst.PadProbeType.BUFFER, self._first, i)
            self.sinks.append(sink)
            self.pipelines.append(p)
        for p in self.pipelines:
            p.set_state(Gst.State.PLAYING)

    def _first(self, _pad, _info, stream):
        if self.first[stream] is None:
            self.first[stream] = time.time()
        return self.Gst.PadProbeReturn.REMOVE

    def native_counts(self):
        return [int(s.get_property("stats").get_value("rendered")) for s in self.sinks]

    def native_first_times(self):
        return list(self.first)


READERS = {r.name: r for r in (VantleReader, OpenCVReader, OpenCVGrabReader, PyAVReader,
                               PyAVLazyReader, GstPythonReader, GstFloorReader)}
