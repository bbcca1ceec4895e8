"""Benchmark RTSP server: N identical H.264 mounts that cost little CPU.

The video is encoded once (a short clip, key interval 40) and its access
units are looped live into each mount, so the server does no encoding while
the readers are measured. Clips (``--kind``): ``light``, a smooth 1280x720
test pattern that decodes in well under a millisecond a frame; ``camera720``
and ``camera1080``, encoded like a camera's (bench/camera_clip.py: High
profile, CABAC, sensor-like noise, 3 and 4 Mbit/s), which cost what real
cameras cost to decode.

Every clip frame carries a visible code of its index in the clip (see
bench/frame_code.py: a row of 16 black/white 80x80 blocks at the top).

The send time of each looped frame is published in a times file: a float64
array of shape (mounts, clip_len) that the server keeps memory-mapped and
overwrites with ``time.time()`` whenever it hands clip frame ``i`` of mount
``m`` to the network side. A reader that decodes index ``i`` from a frame of
mount ``m`` reads ``times[m, i]``: the newest send time of that index, which
is the send time of the frame it holds as long as its latency is below one
clip period (clip_len / fps seconds: 6 s at 20 fps, 4 s at 30 fps).

Each client session gets its own media (not shared), so each starts at the
clip's first frame, an IDR: the time to a first frame does not depend on where
in the key interval a reader joined. Run one server per measurement; it keeps
one media per mount only when each mount has one client.

Usage::

    python bench/rtsp_server.py --mounts 4 --fps 20 --times-file /tmp/t.f64 \
        --clip /tmp/clip20.bin

Once listening it prints one JSON line on stdout:
``{"url": "rtsp://127.0.0.1:PORT", "mounts": N, "fps": F, "clip_len": L,
"times_file": PATH}``; mount ``k`` is ``URL/streamk``. ``--encode-only``
writes the clip file and exits. The server exits by itself after
``--lifetime`` seconds, on SIGINT/SIGTERM or when its parent process dies.
"""

import argparse
import json
import os
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import gi  # noqa: E402

gi.require_version("Gst", "1.0")
gi.require_version("GstApp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstApp, GstRtspServer  # noqa: E402,F401

import camera_clip  # noqa: E402
from frame_code import CODE_BLOCK, HEIGHT, WIDTH, paint_code  # noqa: E402

from vantle._rtsp_serving import Server, serving_loop  # noqa: E402

HOST = "127.0.0.1"
KEY_INTERVAL = 40
CLIP_LEN = 120  # a multiple of KEY_INTERVAL, so every loop starts with an IDR
BITRATE_KBPS = 3000
CLIP_MAGIC = b"BENCHCLIP2\n"
# kind: (width, height, kbit/s); the light clip is WIDTH x HEIGHT at BITRATE_KBPS.
CAMERA_CLIPS = {"camera720": (1280, 720, 3000), "camera1080": (1920, 1080, 4000)}
KINDS = ("light", *CAMERA_CLIPS)


def clip_size(kind):
    return CAMERA_CLIPS[kind][:2] if kind in CAMERA_CLIPS else (WIDTH, HEIGHT)


# ---------------------------------------------------------------- the clip

def _pull_all(sink, count, timeout_s):
    out = []
    deadline = time.monotonic() + timeout_s
    while len(out) < count and time.monotonic() < deadline:
        sample = sink.try_pull_sample(Gst.SECOND)
        if sample is None:
            if sink.is_eos():
                break
            continue
        out.append(sample)
    return out


def encode_camera_clip(kind, fps, clip_len=CLIP_LEN):
    """The camera-like clip with each frame's code painted in; (bytes, is_keyframe) access units."""
    width, height, kbps = CAMERA_CLIPS[kind]
    aus = camera_clip.encode(width, height, kbps, fps, count=clip_len, key=KEY_INTERVAL, paint=paint_code)
    keys = [i for i, (_, k) in enumerate(aus) if k]
    if keys != list(range(0, clip_len, KEY_INTERVAL)):
        raise RuntimeError(f"unexpected keyframes at {keys}")
    return aus


def encode_clip(fps, clip_len=CLIP_LEN, timeout_s=120.0):
    """Encode the light clip; returns a list of (bytes, is_keyframe) access units."""
    # 1. raw frames: a moving test pattern
    src = Gst.parse_launch(
        f"videotestsrc num-buffers={clip_len} pattern=smpte horizontal-speed=6 ! "
        f"video/x-raw,format=I420,width={WIDTH},height={HEIGHT},framerate={fps}/1 ! "
        "appsink name=sink sync=false")
    src.set_state(Gst.State.PLAYING)
    samples = _pull_all(src.get_by_name("sink"), clip_len, timeout_s)
    src.set_state(Gst.State.NULL)
    if len(samples) != clip_len:
        raise RuntimeError(f"test pattern gave {len(samples)} of {clip_len} frames")
    raw = []
    for i, s in enumerate(samples):
        buf = s.get_buffer()
        frame = bytearray(buf.extract_dup(0, buf.get_size()))
        y = np.frombuffer(frame, np.uint8, WIDTH * HEIGHT).reshape(HEIGHT, WIDTH)
        paint_code(y, i)
        # neutral chroma under the code row
        cw, ch = WIDTH // 2, HEIGHT // 2
        u = np.frombuffer(frame, np.uint8, cw * ch, WIDTH * HEIGHT).reshape(ch, cw)
        v = np.frombuffer(frame, np.uint8, cw * ch, WIDTH * HEIGHT + cw * ch).reshape(ch, cw)
        u[0:CODE_BLOCK // 2, :] = 128
        v[0:CODE_BLOCK // 2, :] = 128
        raw.append(bytes(frame))

    # 2. encode: SPS/PPS before every IDR, no scene-cut keyframes, no B-frames
    enc = Gst.parse_launch(
        f"appsrc name=src format=time caps=video/x-raw,format=I420,width={WIDTH},"
        f"height={HEIGHT},framerate={fps}/1 ! "
        f"x264enc tune=zerolatency speed-preset=veryfast bitrate={BITRATE_KBPS} "
        f"key-int-max={KEY_INTERVAL} bframes=0 option-string=scenecut=0:min-keyint={KEY_INTERVAL} ! "
        "h264parse config-interval=-1 ! "
        "video/x-h264,stream-format=byte-stream,alignment=au ! appsink name=sink sync=false")
    appsrc = enc.get_by_name("src")
    enc.set_state(Gst.State.PLAYING)
    for i, frame in enumerate(raw):
        buf = Gst.Buffer.new_wrapped(frame)
        buf.pts = i * Gst.SECOND // fps
        buf.duration = Gst.SECOND // fps
        appsrc.emit("push-buffer", buf)
    appsrc.emit("end-of-stream")
    samples = _pull_all(enc.get_by_name("sink"), clip_len, timeout_s)
    enc.set_state(Gst.State.NULL)
    if len(samples) != clip_len:
        raise RuntimeError(f"encoder gave {len(samples)} of {clip_len} access units")
    aus = []
    for i, s in enumerate(samples):
        buf = s.get_buffer()
        key = not buf.has_flags(Gst.BufferFlags.DELTA_UNIT)
        aus.append((buf.extract_dup(0, buf.get_size()), key))
    keys = [i for i, (_, k) in enumerate(aus) if k]
    if keys != list(range(0, clip_len, KEY_INTERVAL)):
        raise RuntimeError(f"unexpected keyframes at {keys}")
    return aus


def save_clip(path, fps, aus, kind):
    width, height = clip_size(kind)
    header = {"kind": kind, "fps": fps, "width": width, "height": height, "key_interval": KEY_INTERVAL,
              "sizes": [len(a) for a, _ in aus], "keys": [k for _, k in aus]}
    tmp = f"{path}.{os.getpid()}.tmp"
    with open(tmp, "wb") as f:
        f.write(CLIP_MAGIC)
        f.write(json.dumps(header).encode() + b"\n")
        for a, _ in aus:
            f.write(a)
    os.replace(tmp, path)


def load_clip(path, fps, kind):
    """The clip stored at ``path`` if it was made for these settings, else None."""
    try:
        with open(path, "rb") as f:
            if f.readline() != CLIP_MAGIC:
                return None
            header = json.loads(f.readline())
            if (header["kind"], header["fps"], header["width"], header["height"], header["key_interval"]) != (
                    kind, fps, *clip_size(kind), KEY_INTERVAL):
                return None
            return [(f.read(n), k) for n, k in zip(header["sizes"], header["keys"])]
    except (OSError, ValueError, KeyError):
        return None


def get_clip(path, fps, kind="light"):
    aus = load_clip(path, fps, kind) if path else None
    if aus is None:
        aus = encode_camera_clip(kind, fps) if kind in CAMERA_CLIPS else encode_clip(fps)
        if path:
            save_clip(path, fps, aus, kind)
    return aus


# ---------------------------------------------------------------- live side

class Pusher(threading.Thread):
    """Feeds every live media's appsrc with the clip at the frame rate.

    One thread for all mounts. A frame is pushed only while the appsrc queue
    is empty, i.e. while the media is flowing; before the client's PLAY the
    media is blocked and the clip pauses instead of piling up frames whose
    send times would be wrong.
    """

    def __init__(self, aus, fps, times, stop):
        super().__init__(daemon=True, name="pusher")
        self.aus = aus
        self.fps = fps
        self.times = times
        self.stop = stop
        self.lock = threading.Lock()
        self.active = {}  # id(appsrc) -> [appsrc, mount, next_index, next_due]

    def add(self, appsrc, mount):
        with self.lock:
            self.active[id(appsrc)] = [appsrc, mount, 0, time.monotonic()]

    def remove(self, appsrc):
        with self.lock:
            self.active.pop(id(appsrc), None)

    def run(self):
        period = 1.0 / self.fps
        n = len(self.aus)
        while not self.stop.is_set():
            now = time.monotonic()
            with self.lock:
                entries = list(self.active.values())
            nearest = now + 0.05
            for entry in entries:
                appsrc, mount, index, due = entry
                if now >= due:
                    if appsrc.get_property("current-level-buffers") == 0:
                        data, key = self.aus[index]
                        buf = Gst.Buffer.new_wrapped(data)
                        buf.duration = Gst.SECOND // self.fps
                        if not key:
                            buf.set_flags(Gst.BufferFlags.DELTA_UNIT)
                        self.times[mount, index] = time.time()
                        appsrc.emit("push-buffer", buf)
                        entry[2] = (index + 1) % n
                    # keep the pace, but never burst to catch up
                    due = max(due + period, now)
                    entry[3] = due
                nearest = min(nearest, due)
            delay = nearest - time.monotonic()
            if delay > 0:
                self.stop.wait(delay)


def build_server(port, mounts, fps, pusher, max_threads, size=(WIDTH, HEIGHT)):
    server = Server(port, HOST, udp_ports=(30000, 39999), max_threads=max(max_threads, mounts + 2), session_timeout=5)

    caps = (f"video/x-h264,stream-format=byte-stream,alignment=au,"
            f"width={size[0]},height={size[1]},framerate={fps}/1")
    # config-interval=1: SPS/PPS in the RTP stream every second. (-1, before
    # every IDR only, makes FFmpeg-based readers decode garbage.)
    launch = (f"appsrc name=src is-live=true format=time do-timestamp=true caps={caps} "
              "max-buffers=4 ! rtph264pay name=pay0 pt=96 config-interval=1")
    for m in range(mounts):
        def on_configure(media, mount=m):
            appsrc = media.get_element().get_by_name("src")
            pusher.add(appsrc, mount)
            media.connect("unprepared", lambda _m: pusher.remove(appsrc))

        server.mount(f"/stream{m}", launch, shared=False, on_configure=on_configure)
    return server.server


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mounts", type=int, default=1)
    parser.add_argument("--fps", type=int, default=20, choices=(20, 30))
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--kind", default="light", choices=KINDS, help="which clip")
    parser.add_argument("--clip", default="", help="clip cache file (made if missing)")
    parser.add_argument("--times-file", default="", help="send-time table (default: a temp file)")
    parser.add_argument("--lifetime", type=float, default=300.0, help="seconds before exiting")
    parser.add_argument("--encode-only", action="store_true", help="write --clip and exit")
    args = parser.parse_args(argv)
    if not 1 <= args.mounts <= 64:
        parser.error("--mounts must be 1..64")

    Gst.init(None)
    aus = get_clip(args.clip, args.fps, args.kind)
    if args.encode_only:
        return

    times_file = args.times_file or f"/tmp/bench-times-{os.getpid()}.f64"
    times = np.memmap(times_file, dtype=np.float64, mode="w+", shape=(args.mounts, len(aus)))
    times[:] = 0.0
    times.flush()

    stop = threading.Event()
    pusher = Pusher(aus, args.fps, times, stop)
    server = build_server(args.port, args.mounts, args.fps, pusher, args.mounts + 2, clip_size(args.kind))
    if server.attach(None) == 0:
        sys.exit(f"rtsp_server: cannot listen on {HOST}:{args.port}")
    pusher.start()

    loop = serving_loop(server, args.lifetime, tick_ms=500)

    print(json.dumps({"url": f"rtsp://{HOST}:{server.get_bound_port()}", "mounts": args.mounts,
                      "fps": args.fps, "clip_len": len(aus), "times_file": times_file}),
          flush=True)
    loop.run()
    stop.set()
    if not args.times_file:
        try:
            os.unlink(times_file)
        except OSError:
            pass
    # Tearing down live media with clients attached can block; the OS closes
    # the sockets.
    os._exit(0)


if __name__ == "__main__":
    main()
