"""HTTP server with synthetic live streams for tests and benchmarks.

Run as ``python tests/streams/http_server.py --port 0``: once listening it
prints its base URL (``http://127.0.0.1:PORT``) as one line on stdout.
It exits by itself after ``--lifetime`` seconds or when its parent dies.

Every client gets its own encoder, so each response starts with a keyframe
and the ending streams are complete for every client.
"""

import argparse
import base64
import os
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstApp", "1.0")
from gi.repository import Gst, GstApp  # noqa: E402,F401  (GstApp adds the appsink methods)

HOST = "127.0.0.1"
USER, PASSWORD = "user", "secret"
# A camera password as people type it, full of URL syntax.
ODD_USER, ODD_PASSWORD = "cam", "Pw#Se;cr,et/@x9!"


def video(frames=-1, fps=25):
    return (f"videotestsrc is-live=true num-buffers={frames} pattern=smpte horizontal-speed=2 ! "
            f"video/x-raw,format=I420,width=320,height=240,framerate={fps}/1")


TS = ("x264enc tune=zerolatency speed-preset=ultrafast key-int-max=25 ! "
      "h264parse config-interval=-1 ! mpegtsmux")
# Motion JPEG as IP cameras serve it: one JPEG per part of a multipart/x-mixed-replace body.
BOUNDARY = "vantleframe"
MJPEG = f"jpegenc quality=80 ! multipartmux boundary={BOUNDARY}"

# path -> (launch, needs credentials). Every other path answers 404, with or
# without credentials.
STREAMS = {
    "/live.ts": (f"{video()} ! {TS}", False),
    "/ends.ts": (f"{video(frames=50)} ! {TS}", False),
    "/private.ts": (f"{video()} ! {TS}", True),
    "/live.mjpg": (f"{video()} ! {MJPEG}", False),
    "/slow.mjpg": (f"{video(fps=8)} ! {MJPEG}", False),  # a camera slower than the limit
}
CONTENT_TYPES = {path: f"multipart/x-mixed-replace; boundary={BOUNDARY}" for path in ("/live.mjpg", "/slow.mjpg")}
AUTHORIZATIONS = {"Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()
                  for user, password in ((USER, PASSWORD), (ODD_USER, ODD_PASSWORD))}


class Handler(BaseHTTPRequestHandler):
    # No Content-Length: the body ends when the connection closes.
    protocol_version = "HTTP/1.0"
    deadline = float("inf")

    def log_message(self, *_args):
        pass

    def do_GET(self):
        path = urlsplit(self.path).path
        entry = STREAMS.get(path)
        if entry is None:
            self.send_error(404)
            return
        launch, private = entry
        if private and self.headers.get("Authorization") not in AUTHORIZATIONS:
            self.send_response(401)
            self.send_header("WWW-Authenticate", 'Basic realm="streams"')
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        self.send_response(200)
        self.send_header("Content-Type", CONTENT_TYPES.get(path, "video/mp2t"))
        self.send_header("Cache-Control", "no-cache")
        self.end_headers()
        self.stream(launch)

    def stream(self, launch):
        pipeline = Gst.parse_launch(f"{launch} ! appsink name=out sync=false max-buffers=100")
        sink = pipeline.get_by_name("out")
        pipeline.set_state(Gst.State.PLAYING)
        try:
            while time.monotonic() < self.deadline:
                # None means EOS, or a pipeline that stopped producing.
                sample = sink.try_pull_sample(3 * Gst.SECOND)
                if sample is None:
                    break
                buf = sample.get_buffer()
                self.wfile.write(buf.extract_dup(0, buf.get_size()))
        except (BrokenPipeError, ConnectionResetError):
            pass
        finally:
            pipeline.set_state(Gst.State.NULL)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--lifetime", type=float, default=600.0, help="seconds before exiting")
    args = parser.parse_args(argv)

    Gst.init(None)
    Handler.deadline = time.monotonic() + args.lifetime
    try:
        httpd = ThreadingHTTPServer((HOST, args.port), Handler)
    except OSError as exc:
        sys.exit(f"http_server: cannot listen on {HOST}:{args.port}: {exc}")
    httpd.daemon_threads = True
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    print(f"http://{HOST}:{httpd.server_address[1]}", flush=True)

    parent = os.getppid()
    try:
        while time.monotonic() < Handler.deadline and os.getppid() == parent:
            time.sleep(0.5)
    except KeyboardInterrupt:
        pass
    # Streaming handlers may sit in GStreamer calls; no need to wait for them.
    os._exit(0)


if __name__ == "__main__":
    main()
