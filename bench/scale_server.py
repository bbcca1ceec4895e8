"""RTSP server for the scale run: one mount, `/cam`, that loops a camera-like clip live
(bench/camera_clip.py) to every client from one shared media, so the server's cost stays
small however many readers connect. Clients join the running stream, as they join a camera:
their first frame waits for the next keyframe.

    python bench/scale_server.py --width 640 --height 360 --kbps 512

Prints one JSON line once listening: {"url": "rtsp://127.0.0.1:PORT/cam", ...}. Exits after
--lifetime seconds, on SIGINT/SIGTERM, or when its parent dies.
"""

import argparse
import json
import os
import resource
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import gi  # noqa: E402

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402

import camera_clip  # noqa: E402
from vantle._rtsp_serving import Server, ServingError, serving_loop  # noqa: E402


def pump(appsrc_holder, aus, fps, stop):
    """Pushes the clip at its frame rate into the shared media while it is prepared."""
    period = 1.0 / fps
    index = 0
    due = time.monotonic()
    while not stop.is_set():
        appsrc = appsrc_holder.get("src")
        if appsrc is not None and appsrc.get_property("current-level-buffers") < 2:
            data, key = aus[index]
            buffer = Gst.Buffer.new_wrapped(data)
            buffer.duration = Gst.SECOND // fps
            if not key:
                buffer.set_flags(Gst.BufferFlags.DELTA_UNIT)
            appsrc.emit("push-buffer", buffer)
            index = (index + 1) % len(aus)
        due = max(due + period, time.monotonic() - period)
        stop.wait(max(0.0, due - time.monotonic()))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--width", type=int, default=640)
    parser.add_argument("--height", type=int, default=360)
    parser.add_argument("--kbps", type=int, default=512)
    parser.add_argument("--fps", type=int, default=20)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--lifetime", type=float, default=900)
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    Gst.init(None)
    aus, _ = camera_clip.cached(args.width, args.height, args.kbps, args.fps)

    # Sessions keep GStreamer's default timeout (60 s).
    server = Server(args.port, udp_ports=(20000, 60000), session_timeout=None)
    server.server.set_backlog(4096)
    caps = (f"video/x-h264,stream-format=byte-stream,alignment=au,width={args.width},height={args.height},"
            f"framerate={args.fps}/1")
    holder = {}

    def on_configure(media):
        holder["src"] = media.get_element().get_by_name("src")
        media.connect("unprepared", lambda _m: holder.pop("src", None))

    server.mount("/cam", f"appsrc name=src is-live=true format=time do-timestamp=true caps={caps} max-buffers=4 "
                 "! rtph264pay name=pay0 pt=96 config-interval=1", on_configure=on_configure)
    try:
        server.listen()
    except ServingError as error:
        sys.exit(f"scale_server: {error}")
    stop = threading.Event()
    threading.Thread(target=pump, args=(holder, aus, args.fps, stop), daemon=True).start()

    loop = serving_loop(server.server, args.lifetime, tick_ms=1000)
    print(json.dumps({"url": server.url("/cam"), "width": args.width,
                      "height": args.height, "kbps": args.kbps, "fps": args.fps}), flush=True)
    loop.run()
    stop.set()
    os._exit(0)


if __name__ == "__main__":
    main()
