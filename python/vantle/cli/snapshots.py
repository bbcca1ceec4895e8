"""``watch --snapshot``: each stream's newest frame as a PNG file."""

import sys

from vantle.cli.common import CommandError


def write_snapshots(streams, folder):
    folder.mkdir(parents=True, exist_ok=True)
    for stream in streams:
        latest = stream.feed.latest_frame
        if latest is None:
            print(f"snapshot: {stream.name} has no frame", file=sys.stderr)
            continue
        path = folder / f"{stream.name}.png"
        write_png(latest[1], path)
        print(f"snapshot: {path} ({latest[1].shape[1]}x{latest[1].shape[0]})")


def write_png(frame, path):
    """Writes a BGR frame as a PNG file, with GStreamer's pngenc (or Pillow without PyGObject)."""
    try:
        import gi

        gi.require_version("Gst", "1.0")
        from gi.repository import Gst
    except (ImportError, ValueError):
        Gst = None
    if Gst is not None:
        _write_png_gstreamer(Gst, frame, path)
        return
    try:
        from PIL import Image
    except ImportError:
        raise CommandError("writing a snapshot needs PyGObject (GStreamer) or Pillow") from None
    Image.fromarray(frame[:, :, ::-1].copy()).save(path, format="PNG")


def _write_png_gstreamer(Gst, frame, path):
    import numpy as np

    Gst.init(None)
    height, width = frame.shape[:2]
    # GStreamer lays packed 24-bit rows out on 4-byte boundaries.
    stride = (width * 3 + 3) & ~3
    rows = np.zeros((height, stride), np.uint8)
    rows[:, : width * 3] = np.ascontiguousarray(frame).reshape(height, width * 3)

    pipeline = Gst.parse_launch(
        f"appsrc name=src format=time caps=video/x-raw,format=BGR,width={width},height={height},framerate=0/1 "
        "! videoconvert ! pngenc snapshot=true ! filesink name=sink")
    pipeline.get_by_name("sink").set_property("location", str(path))
    src = pipeline.get_by_name("src")
    try:
        if pipeline.set_state(Gst.State.PLAYING) == Gst.StateChangeReturn.FAILURE:
            raise CommandError(f"cannot write {path}: the PNG pipeline did not start")
        buffer = Gst.Buffer.new_wrapped(rows.tobytes())
        buffer.pts = 0
        buffer.duration = Gst.SECOND
        src.emit("push-buffer", buffer)
        src.emit("end-of-stream")
        message = pipeline.get_bus().timed_pop_filtered(
            10 * Gst.SECOND, Gst.MessageType.EOS | Gst.MessageType.ERROR)
        if message is None:
            raise CommandError(f"cannot write {path}: timed out")
        if message.type == Gst.MessageType.ERROR:
            error, _debug = message.parse_error()
            raise CommandError(f"cannot write {path}: {error.message}")
    finally:
        pipeline.set_state(Gst.State.NULL)
