"""A clip encoded like a camera's: x264 High profile with CABAC, a moving scene with
sensor-like noise (every frame differs in every pixel, as a real sensor's does), a keyframe
every 2 s, constant bitrate. Decoding it costs what a camera's stream costs, unlike the smooth
test pattern of the reader benchmark's light clip.

    python bench/camera_clip.py --width 640 --height 360 --kbps 512 --out /tmp/sub.h264

The clip is an H.264 byte stream of access units; `load` gives them back as
(bytes, is_keyframe) pairs, and `cached` encodes once per setting into bench/results/raw/.
"""

import argparse
import json
import os

import numpy as np

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstApp", "1.0")
from gi.repository import Gst  # noqa: E402

MAGIC = b"CAMERACLIP1\n"
RAW_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results", "raw")


def _frames(width, height, count, seed=7, paint=None):
    """I420 frames: a slowly panning textured scene plus per-frame Gaussian sensor noise.

    `paint(luma, index)`, if given, draws into each frame's luma plane (uint8, in place)."""
    rng = np.random.default_rng(seed)
    scene_w = width + count * 2
    # Texture with edges at several scales, like a street or an office.
    base = rng.integers(40, 200, size=(height // 8 + 1, scene_w // 8 + 1), dtype=np.uint8)
    scene = np.kron(base, np.ones((8, 8), np.uint8))[:height, :scene_w].astype(np.int16)
    scene += (rng.normal(0, 12, size=scene.shape)).astype(np.int16)
    cw, ch = width // 2, height // 2
    for i in range(count):
        luma = scene[:, i * 2:i * 2 + width] + rng.normal(0, 4.0, size=(height, width)).astype(np.int16)
        u = 128 + rng.normal(0, 2.0, size=(ch, cw)).astype(np.int16)
        v = 128 + rng.normal(0, 2.0, size=(ch, cw)).astype(np.int16)
        planes = [np.clip(p, 0, 255).astype(np.uint8) for p in (luma, u, v)]
        if paint is not None:
            paint(planes[0], i)
        yield b"".join(p.tobytes() for p in planes)


def encode(width, height, kbps, fps=20, seconds=6, key_seconds=2, count=None, key=None, paint=None):
    """Access units [(bytes, is_keyframe)] of the camera-like clip: `count` frames (default
    `seconds` of them) with a keyframe every `key` frames (default every `key_seconds`)."""
    Gst.init(None)
    count = count or fps * seconds
    key = key or fps * key_seconds
    pipeline = Gst.parse_launch(
        f"appsrc name=src format=time caps=video/x-raw,format=I420,width={width},height={height},"
        f"framerate={fps}/1 ! x264enc speed-preset=faster bitrate={kbps} key-int-max={key} cabac=true "
        f"bframes=0 option-string=scenecut=0:min-keyint={key}:nal-hrd=cbr:vbv-maxrate={kbps}:vbv-bufsize={kbps} "
        "tune=zerolatency ! video/x-h264,profile=high ! h264parse config-interval=-1 ! "
        "video/x-h264,stream-format=byte-stream,alignment=au ! appsink name=sink sync=false")
    src, sink = pipeline.get_by_name("src"), pipeline.get_by_name("sink")
    pipeline.set_state(Gst.State.PLAYING)
    aus = []
    for i, frame in enumerate(_frames(width, height, count, paint=paint)):
        buffer = Gst.Buffer.new_wrapped(frame)
        buffer.pts = i * Gst.SECOND // fps
        buffer.duration = Gst.SECOND // fps
        src.emit("push-buffer", buffer)
    src.emit("end-of-stream")
    while len(aus) < count:
        sample = sink.emit("try-pull-sample", 30 * Gst.SECOND)
        if sample is None:
            break
        buffer = sample.get_buffer()
        aus.append((buffer.extract_dup(0, buffer.get_size()), not buffer.has_flags(Gst.BufferFlags.DELTA_UNIT)))
    pipeline.set_state(Gst.State.NULL)
    if len(aus) != count or not aus[0][1]:
        raise RuntimeError(f"encoder gave {len(aus)} of {count} access units")
    return aus


def save(path, aus, settings):
    tmp = f"{path}.{os.getpid()}.tmp"
    with open(tmp, "wb") as f:
        f.write(MAGIC)
        f.write(json.dumps({**settings, "sizes": [len(a) for a, _ in aus], "keys": [k for _, k in aus]}).encode() + b"\n")
        for data, _ in aus:
            f.write(data)
    os.replace(tmp, path)


def load(path):
    with open(path, "rb") as f:
        if f.readline() != MAGIC:
            raise ValueError(f"{path} is not a camera clip")
        header = json.loads(f.readline())
        return [(f.read(n), k) for n, k in zip(header["sizes"], header["keys"])], header


def cached(width, height, kbps, fps=20):
    """The clip for these settings, encoded on first use."""
    os.makedirs(RAW_DIR, exist_ok=True)
    path = os.path.join(RAW_DIR, f"camera-{width}x{height}-{kbps}k-{fps}.clip")
    if not os.path.exists(path):
        save(path, encode(width, height, kbps, fps), {"width": width, "height": height, "kbps": kbps, "fps": fps})
    return load(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--width", type=int, default=1280)
    parser.add_argument("--height", type=int, default=720)
    parser.add_argument("--kbps", type=int, default=3000)
    parser.add_argument("--fps", type=int, default=20)
    args = parser.parse_args()
    aus, header = cached(args.width, args.height, args.kbps, args.fps)
    total = sum(len(a) for a, _ in aus)
    print(f"{len(aus)} access units, {sum(k for _, k in aus)} keyframes, "
          f"{total * 8 * header['fps'] / len(aus) / 1000:.0f} kbit/s")


if __name__ == "__main__":
    main()
