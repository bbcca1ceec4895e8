"""RTSP mounts that tell the truth about when each picture was taken.

Each picture carries its capture wall-clock time twice: in the RTCP sender reports (the media's
pipeline clock is the real-time clock counted from the NTP epoch, reports pair it with the
capture time of the RTP timestamps) and painted into the picture as a block code that survives
H.264 (``read_painted``). A mount can hold pictures back before payloading, like a camera with a
slow encoder, and a server started with ``--clock-offset`` runs a clock that is off by that much.
"""

import threading
import time

import numpy

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GObject, Gst, GstRtspServer  # noqa: E402

WIDTH, HEIGHT, FPS = 320, 240, 20
NTP_EPOCH_OFFSET = 2208988800  # seconds from 1900-01-01 to 1970-01-01

# The code: BITS blocks of BLOCK x BLOCK pixels, row by row from the top left corner, black for
# 0 and white for 1. 52 bits of microseconds since the epoch, then 8 bits of checksum.
BLOCK = 16
VALUE_BITS = 52
BITS = VALUE_BITS + 8
PER_ROW = WIDTH // BLOCK

# mount -> hold-back in milliseconds before payloading
MOUNTS = {"/clock": 0, "/clock-150": 150, "/clock-400": 400}


def _checksum(value):
    total = 0
    for shift in range(0, VALUE_BITS, 8):
        total ^= (value >> shift) & 0xFF
    return total


def _bits(value):
    word = (value << 8) | _checksum(value)
    return [(word >> (BITS - 1 - i)) & 1 for i in range(BITS)]


def paint(luma, seconds):
    """Paints `seconds` (wall clock) into a (HEIGHT, WIDTH) luma plane."""
    for i, bit in enumerate(_bits(round(seconds * 1e6))):
        row, column = divmod(i, PER_ROW)
        luma[row * BLOCK:(row + 1) * BLOCK, column * BLOCK:(column + 1) * BLOCK] = 235 if bit else 16


def read_painted(bgr):
    """The wall-clock time painted into a decoded BGR picture, or None when the code does not check."""
    brightness = bgr.astype(numpy.float32).mean(axis=2)
    word = 0
    for i in range(BITS):
        row, column = divmod(i, PER_ROW)
        # The block's centre: edges bleed under compression.
        centre = brightness[row * BLOCK + 4:(row + 1) * BLOCK - 4, column * BLOCK + 4:(column + 1) * BLOCK - 4]
        word = (word << 1) | int(centre.mean() > 128)
    value, check = word >> 8, word & 0xFF
    return value / 1e6 if _checksum(value) == check else None


def ntp_clock(offset=0.0):
    """A pipeline clock that reads the real-time clock counted from the NTP epoch, plus `offset` seconds."""
    clock = GObject.new(Gst.SystemClock, clock_type=Gst.ClockType.REALTIME)
    internal = clock.get_internal_time()
    clock.set_calibration(internal, internal + int((NTP_EPOCH_OFFSET + offset) * Gst.SECOND), 1, 1)
    return clock


def _on_element_added(_bin, element):
    # The media adds its rtpbin to the pipeline, and rtpbin its sessions, before they send.
    name = element.get_factory().get_name() if element.get_factory() else ""
    if name == "rtpbin":
        # Sender reports carry the pipeline clock and relate it to capture times rather than send times.
        element.set_property("ntp-time-source", "clock-time")
        element.set_property("rtcp-sync-send-time", False)
        element.connect("element-added", _on_element_added)
    elif name == "rtpsession":
        element.set_property("rtcp-min-interval", Gst.SECOND)


class Painter:
    """Feeds an appsrc with pictures taken now: timestamped with the pipeline clock, painted with
    that time (the camera's own wall clock), a moving gradient with noise behind the code."""

    def __init__(self, appsrc, clock):
        self.appsrc, self.clock = appsrc, clock
        self.stopped = threading.Event()
        self.random = numpy.random.default_rng()
        ramp = numpy.linspace(40, 200, WIDTH, dtype=numpy.float32)
        self.background = numpy.tile(ramp, (HEIGHT, 1))
        self.thread = threading.Thread(target=self.run, name="painter", daemon=True)

    def run(self):
        count = 0
        frame = numpy.empty(WIDTH * HEIGHT * 3 // 2, dtype=numpy.uint8)
        luma = frame[:WIDTH * HEIGHT].reshape(HEIGHT, WIDTH)
        frame[WIDTH * HEIGHT:] = 128
        due = time.monotonic()
        while not self.stopped.wait(max(due - time.monotonic(), 0)):
            due = max(due + 1 / FPS, time.monotonic() - 1 / FPS)  # steady pace, no burst after a stall
            base = self.appsrc.get_base_time()
            if base == Gst.CLOCK_TIME_NONE or self.appsrc.get_state(0)[1] != Gst.State.PLAYING:
                continue
            now = self.clock.get_time()
            noise = self.random.integers(0, 24, size=(HEIGHT, WIDTH), dtype=numpy.uint8)
            luma[:] = numpy.roll(self.background, count * 3, axis=1).astype(numpy.uint8) + noise
            paint(luma, now / Gst.SECOND - NTP_EPOCH_OFFSET)
            buffer = Gst.Buffer.new_wrapped(frame.tobytes())
            buffer.pts = now - base
            buffer.duration = Gst.SECOND // FPS
            if self.appsrc.emit("push-buffer", buffer) != Gst.FlowReturn.OK:
                return
            count += 1


class ClockCameraFactory(GstRtspServer.RTSPMediaFactory):
    def __init__(self, delay_ms, offset):
        super().__init__()
        self.clock = ntp_clock(offset)
        self.set_clock(self.clock)
        self.connect("media-configure", self.on_media_configure)

        hold = delay_ms * Gst.MSECOND
        self.set_launch(
            f"( appsrc name=camera is-live=true format=time "
            f"caps=video/x-raw,format=I420,width={WIDTH},height={HEIGHT},framerate={FPS}/1 ! "
            f"queue max-size-buffers=0 max-size-bytes=0 max-size-time=0 min-threshold-time={hold} ! "
            f"x264enc tune=zerolatency speed-preset=ultrafast key-int-max={FPS} ! "
            f"rtph264pay name=pay0 pt=96 config-interval=-1 )")

    def on_media_configure(self, _factory, media):
        media.get_element().get_parent().connect("element-added", _on_element_added)
        painter = Painter(media.get_element().get_by_name("camera"), self.clock)
        painter.thread.start()
        media.connect("unprepared", lambda _media: painter.stopped.set())


def factories(offset=0.0):
    """(mount, factory) of each clock camera, whose wall clock is off by `offset` seconds."""
    return [(path, ClockCameraFactory(delay_ms, offset)) for path, delay_ms in MOUNTS.items()]
