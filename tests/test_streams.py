"""The test stream servers deliver what their mounts claim."""

import socket
import time
from dataclasses import dataclass, field

import gi
import numpy as np
import pytest

gi.require_version("Gst", "1.0")
gi.require_version("GstApp", "1.0")
gi.require_version("GstVideo", "1.0")
from gi.repository import Gst, GstApp, GstVideo  # noqa: E402,F401

from tests.helpers import caps_structure, side_by_side  # noqa: E402

Gst.init(None)


@dataclass
class Received:
    frames: list = field(default_factory=list)  # BGR arrays, height x width x 3
    caps: Gst.Caps = None
    pad_kinds: list = field(default_factory=list)  # media types uridecodebin exposed
    eos: bool = False

    @property
    def size(self):
        info = GstVideo.VideoInfo.new_from_caps(self.caps)
        return info.width, info.height

    @property
    def framerate(self):
        info = GstVideo.VideoInfo.new_from_caps(self.caps)
        return info.fps_n, info.fps_d


def to_bgr(sample):
    info = GstVideo.VideoInfo.new_from_caps(sample.get_caps())
    buf = sample.get_buffer()
    ok, mapped = buf.map(Gst.MapFlags.READ)
    assert ok
    try:
        rows = np.frombuffer(mapped.data, np.uint8, info.stride[0] * info.height)
        rows = rows.reshape(info.height, info.stride[0])
        return rows[:, : info.width * 3].reshape(info.height, info.width, 3).copy()
    finally:
        buf.unmap(mapped)


def receive(uri, frames=3, timeout=10.0, protocols=None):
    """Decode ``uri`` to BGR until ``frames`` frames (None: until EOS) or timeout."""
    pipeline = Gst.Pipeline()
    src = Gst.ElementFactory.make("uridecodebin")
    src.set_property("uri", uri)
    convert = Gst.ElementFactory.make("videoconvert")
    sink = Gst.ElementFactory.make("appsink")
    sink.set_property("caps", Gst.Caps.from_string("video/x-raw,format=BGR"))
    sink.set_property("sync", False)
    for element in (src, convert, sink):
        pipeline.add(element)
    convert.link(sink)
    got = Received()

    def on_source(_bin, source):
        if protocols and source.find_property("protocols"):
            source.set_property("protocols", protocols)

    def on_pad(_bin, pad):
        kind = caps_structure(pad.get_current_caps()).get_name()
        got.pad_kinds.append(kind)
        target = convert.get_static_pad("sink")
        if kind != "video/x-raw" or target.is_linked():
            drain = Gst.ElementFactory.make("fakesink")
            drain.set_property("async", False)
            pipeline.add(drain)
            drain.sync_state_with_parent()
            target = drain.get_static_pad("sink")
        pad.link(target)

    src.connect("source-setup", on_source)
    src.connect("pad-added", on_pad)
    bus = pipeline.get_bus()
    pipeline.set_state(Gst.State.PLAYING)
    deadline = time.monotonic() + timeout
    try:
        while (frames is None or len(got.frames) < frames) and time.monotonic() < deadline:
            msg = bus.pop_filtered(Gst.MessageType.ERROR)
            if msg:
                err, debug = msg.parse_error()
                raise RuntimeError(f"{uri}: {err.message} ({debug})")
            sample = sink.try_pull_sample(100 * Gst.MSECOND)
            if sample is not None:
                got.caps = sample.get_caps()
                got.frames.append(to_bgr(sample))
            elif sink.is_eos():
                got.eos = True
                break
    finally:
        pipeline.set_state(Gst.State.NULL)
    return got


def first_error(uri, timeout=10.0):
    """The GError an HTTP source posts for ``uri``, or None."""
    pipeline = Gst.parse_launch("souphttpsrc name=src ! fakesink")
    pipeline.get_by_name("src").set_property("location", uri)
    pipeline.set_state(Gst.State.PLAYING)
    try:
        msg = pipeline.get_bus().timed_pop_filtered(int(timeout * Gst.SECOND), Gst.MessageType.ERROR)
        return msg.parse_error()[0] if msg else None
    finally:
        pipeline.set_state(Gst.State.NULL)


def keyframes(uri, count):
    """Keyframe flags of the first ``count`` H.264 access units of an RTSP mount."""
    pipeline = Gst.parse_launch(
        f"rtspsrc location={uri} ! rtph264depay ! h264parse ! video/x-h264,alignment=au ! "
        "appsink name=sink sync=false")
    sink = pipeline.get_by_name("sink")
    pipeline.set_state(Gst.State.PLAYING)
    flags = []
    try:
        while len(flags) < count:
            sample = sink.try_pull_sample(5 * Gst.SECOND)
            assert sample is not None, "stream stalled"
            flags.append(not sample.get_buffer().has_flags(Gst.BufferFlags.DELTA_UNIT))
    finally:
        pipeline.set_state(Gst.State.NULL)
    return flags


RTSP_MOUNTS = [
    ("/h264", (320, 240), (25, 1)),
    ("/h264-longgop", (320, 240), (25, 1)),
    ("/mjpeg", (320, 240), (25, 1)),
    ("/h264-audio", (320, 240), (25, 1)),
    ("/fps25", (320, 240), (25, 1)),
    ("/fps20", (320, 240), (20, 1)),
    ("/fps15", (320, 240), (15, 1)),
    ("/dynamic", (320, 240), (0, 1)),
    ("/odd", (322, 242), (25, 1)),
    ("/red", (320, 240), (25, 1)),
    ("/blue", (320, 240), (25, 1)),
    ("/ends", (320, 240), (25, 1)),
]


@pytest.mark.parametrize("mount,size,rate", RTSP_MOUNTS, ids=[m[0] for m in RTSP_MOUNTS])
def test_rtsp_mount_size_and_rate(rtsp_server, mount, size, rate):
    got = receive(rtsp_server.url(mount))
    assert len(got.frames) == 3
    assert got.size == size
    assert got.framerate == rate
    assert got.frames[0].shape == (size[1], size[0], 3)


def test_rtsp_over_tcp(rtsp_server):
    got = receive(rtsp_server.url("/h264"), protocols="tcp")
    assert got.size == (320, 240)


def test_rtsp_audio_track(rtsp_server):
    got = receive(rtsp_server.url("/h264-audio"), frames=10)
    assert "video/x-raw" in got.pad_kinds
    assert "audio/x-raw" in got.pad_kinds


@pytest.mark.parametrize("mount,bgr", [("/red", (0, 0, 255)), ("/blue", (255, 0, 0))])
def test_rtsp_solid_colour_in_bgr_order(rtsp_server, mount, bgr):
    frame = receive(rtsp_server.url(mount)).frames[-1]
    mean = frame[40:-40, 40:-40].reshape(-1, 3).mean(axis=0)
    assert np.abs(mean - bgr).max() < 20, mean


def test_rtsp_odd_size_matches_reference_picture(rtsp_server):
    frame = receive(rtsp_server.url("/odd")).frames[-1]
    ref = Gst.parse_launch(
        "videotestsrc num-buffers=1 pattern=smpte ! video/x-raw,format=I420,width=322,height=242 ! "
        "videoconvert ! video/x-raw,format=BGR ! appsink name=sink")
    ref.set_state(Gst.State.PLAYING)
    expected = to_bgr(ref.get_by_name("sink").try_pull_sample(5 * Gst.SECOND))
    ref.set_state(Gst.State.NULL)
    # Only the colour bars: the pattern's bottom right corner is random noise.
    # A wrong row stride shears the bars and lands far above this bound.
    bars = slice(0, 160)
    assert np.abs(frame[bars].astype(int) - expected[bars]).mean() < 3


def test_rtsp_ends_with_eos(rtsp_server):
    got = receive(rtsp_server.url("/ends"), frames=None, timeout=15)
    assert got.eos
    assert 40 <= len(got.frames) <= 50


KEY_INTERVALS = [("/h264", 25), ("/h264-longgop", 100)]


@pytest.fixture(scope="module")
def keyframe_flags(rtsp_server):
    """keyframes() of 55 access units of each mount of KEY_INTERVALS, read side by side."""
    return side_by_side(lambda mount: keyframes(rtsp_server.url(mount), 55), [mount for mount, _ in KEY_INTERVALS])


@pytest.mark.parametrize("mount,interval", KEY_INTERVALS)
def test_rtsp_key_interval(keyframe_flags, mount, interval):
    flags = keyframe_flags[mount].result()
    positions = [i for i, key in enumerate(flags) if key]
    if interval < len(flags):
        assert len(positions) >= 2
        assert max(np.diff(positions)) <= interval
    else:
        assert positions == [0]  # the mount is unshared: each client starts on a keyframe


def test_rtsp_restart_on_same_port(own_rtsp_server):
    port = own_rtsp_server.port
    assert receive(own_rtsp_server.url("/mjpeg"), frames=1).frames
    own_rtsp_server.restart()
    assert own_rtsp_server.port == port
    assert receive(own_rtsp_server.url("/mjpeg"), frames=1).frames


def test_demo_camera_serves_in_process_and_frees_its_port():
    # `vantle watch`'s camera when it is given no URL: served from the caller's process on a thread.
    from vantle.demo_camera import DemoCamera, DemoCameraError

    with DemoCamera() as camera:
        port = camera.port
        got = receive(camera.url, frames=2, timeout=15)
        assert camera.url == f"rtsp://127.0.0.1:{port}/demo"
    assert (len(got.frames), got.size, got.framerate) == (2, (640, 360), (25, 1))
    with pytest.raises(DemoCameraError, match="not running"):
        camera.url
    with socket.socket() as again:  # binds, as a server does, unless something still listens there
        again.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        again.bind(("127.0.0.1", port))
        again.listen()


def test_http_live_ts(http_server):
    got = receive(http_server.url("/live.ts"))
    assert len(got.frames) == 3
    assert got.size == (320, 240)
    assert got.framerate == (25, 1)


def test_http_ends_with_eos(http_server):
    got = receive(http_server.url("/ends.ts"), frames=None, timeout=15)
    assert got.eos
    assert 45 <= len(got.frames) <= 50


@pytest.mark.parametrize("credentials", [(None, None), ("user", "secret")], ids=["plain", "credentials"])
def test_http_missing_is_404(http_server, credentials):
    err = first_error(http_server.url("/missing", *credentials))
    assert err is not None and err.matches(Gst.ResourceError.quark(), Gst.ResourceError.NOT_FOUND), err


def test_http_private_needs_credentials(http_server):
    err = first_error(http_server.url("/private.ts"))
    assert err is not None and err.matches(Gst.ResourceError.quark(), Gst.ResourceError.NOT_AUTHORIZED), err
    got = receive(http_server.url("/private.ts", http_server.user, http_server.password), frames=1)
    assert got.size == (320, 240)
