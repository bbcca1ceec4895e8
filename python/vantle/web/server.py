"""A read-only HTTP server for the live page and its endpoints.

    GET /                          the page (static files under /static/)
    GET /api/streams               stats of every stream, a JSON list
    GET /api/streams/<n>           stats of one stream
    GET /streams/<n>.jpg           the newest frame (?after=K: 204 unless a frame newer than K exists)
    GET /streams/<n>.mjpeg?fps=F   multipart JPEG, at most F frames per second (default 5)
    GET /streams/<n>/clip.mp4?seconds=N  the last N seconds of the stream's own video (default 10),
                                   as an MP4 download (streams opened with keep_encoded)

Only GET and HEAD are served. Each connection has a thread (the standard library's threading
HTTP server); an MJPEG viewer's thread waits for frames without the GIL and ends when its
client goes away or the stream closes. Streams that nobody views are never read or encoded.
"""

import ipaddress
import json
import logging
import re
import select
import socket
import threading
import time
from contextlib import contextmanager
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from urllib.parse import parse_qs, urlsplit

from vantle.web.streams import StreamView, jpeg_encoder

logger = logging.getLogger("qv_streaming.web")

DEFAULT_MJPEG_FPS = 5.0
MAX_MJPEG_FPS = 20.0  # the reader delivers URL streams at 20 fps at most
FRAME_WAIT = 0.5  # seconds an MJPEG writer waits for a frame before checking on its client
IDLE_TIMEOUT = 20  # seconds a connection may stay silent (idle keep-alive, stalled reader)
BOUNDARY = "vantleframe"

STATIC_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".svg": "image/svg+xml",
    ".png": "image/png",
}
# Only our own files: no CDN, no inline script, nothing framed elsewhere.
SECURITY_HEADERS = {
    "Content-Security-Policy": "default-src 'self'; img-src 'self' blob:; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
}
_CONNECTION_GONE = (BrokenPipeError, ConnectionResetError, ConnectionAbortedError, TimeoutError)
_STREAM_PATH = re.compile(r"^/streams/(\d+)\.(jpg|mjpeg)$")
_STATS_PATH = re.compile(r"^/api/streams/(\d+)$")
_CLIP_PATH = re.compile(r"^/streams/(\d+)/clip\.mp4$")


def _load_static():
    files = {}
    folder = resources.files("vantle.web") / "static"
    for entry in folder.iterdir():
        suffix = "." + entry.name.rsplit(".", 1)[-1] if "." in entry.name else ""
        if entry.is_file() and suffix in STATIC_TYPES:
            files["/static/" + entry.name] = (entry.read_bytes(), STATIC_TYPES[suffix])
    files["/"] = files["/static/index.html"]
    return files


def is_loopback(host):
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return host == "localhost"


class _HttpServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, app):
        self.address_family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
        self.app = app
        super().__init__(address, _Handler)

    def handle_error(self, request, client_address):
        logger.debug("web request from %s failed", client_address[0], exc_info=True)


class _Handler(BaseHTTPRequestHandler):
    server_version = "vantle"
    protocol_version = "HTTP/1.1"
    timeout = IDLE_TIMEOUT

    # ------------------------------------------------------------------ plumbing

    @property
    def app(self):
        return self.server.app

    def version_string(self):
        return self.server_version

    def log_message(self, format, *args):  # noqa: A002 (the base class's name)
        logger.debug("%s %s", self.address_string(), format % args)

    def _headers(self, status, content_type, length=None, extra=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        if length is not None:
            self.send_header("Content-Length", str(length))
        for name, value in (*SECURITY_HEADERS.items(), *extra):
            self.send_header(name, value)
        self.end_headers()

    def _send(self, status, body, content_type, extra=()):
        self._headers(status, content_type, len(body), extra)
        if self.command != "HEAD":
            self.wfile.write(body)

    def _send_json(self, value, status=HTTPStatus.OK):
        body = json.dumps(value, default=str).encode()
        self._send(status, body, "application/json")

    def _error(self, status, message):
        self._send_json({"error": message}, status)

    def _refuse(self):
        self.close_connection = True  # its body, if any, is never read
        self._send(HTTPStatus.METHOD_NOT_ALLOWED, b"only GET and HEAD are served\n",
                   "text/plain; charset=utf-8", [("Allow", "GET, HEAD")])

    do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_TRACE = do_CONNECT = _refuse

    def _host_allowed(self):
        # On loopback, a page from elsewhere that rebinds its own name to 127.0.0.1 must not read
        # the cameras: only requests addressed to a loopback name are answered.
        if not self.app.loopback_only:
            return True
        host = self.headers.get("Host")
        if host is None:  # browsers always name the host; a client without one is no page
            return True
        host = host[1:host.find("]")] if host.startswith("[") else host.rsplit(":", 1)[0]
        return is_loopback(host)

    def _client_gone(self):
        """True when the peer closed its side (readable, and reading would return nothing)."""
        try:
            readable, _, _ = select.select([self.connection], [], [], 0)
            return bool(readable) and self.connection.recv(1, socket.MSG_PEEK) == b""
        except OSError:
            return True

    # ------------------------------------------------------------------ routes

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        try:
            self._route()
        except _CONNECTION_GONE:
            self.close_connection = True

    def _route(self):
        if not self._host_allowed():
            self._error(HTTPStatus.FORBIDDEN, "unknown host")
            return
        parts = urlsplit(self.path)
        path, query = parts.path, parse_qs(parts.query)
        static = self.app.static.get(path)
        if static is not None:
            self._send(HTTPStatus.OK, *static)
            return
        if path == "/api/streams":
            self._send_json([view.stats() for view in self.app.views.values()])
            return
        match = _STATS_PATH.match(path)
        if match:
            view = self.app.views.get(int(match.group(1)))
            if view is None:
                self._error(HTTPStatus.NOT_FOUND, "no such stream")
            else:
                self._send_json(view.stats())
            return
        match = _CLIP_PATH.match(path)
        if match:
            self._clip(self.app.views.get(int(match.group(1))), query)
            return
        match = _STREAM_PATH.match(path)
        view = self.app.views.get(int(match.group(1))) if match else None
        if view is None:
            self._error(HTTPStatus.NOT_FOUND, "no such stream" if match else "not found")
        elif match.group(2) == "jpg":
            self._jpeg(view, query)
        else:
            self._mjpeg(view, query)

    def _jpeg(self, view, query):
        try:
            after = int(query.get("after", ["0"])[0])
        except ValueError:
            self._error(HTTPStatus.BAD_REQUEST, "after must be a frame number")
            return
        frame = view.next_frame(after=after, timeout=0)
        if frame is None:
            if after:
                self._headers(HTTPStatus.NO_CONTENT, "image/jpeg")
            else:
                self._error(HTTPStatus.SERVICE_UNAVAILABLE, "no frame yet")
            return
        headers = [("X-Frame-Number", str(frame.number)), ("X-Received-At", f"{frame.received_at:.6f}")]
        self._send(HTTPStatus.OK, view.jpeg(frame), "image/jpeg", headers)

    def _clip(self, view, query):
        from vantle.web.clips import ClipUnavailable, save_recent

        if view is None:
            self._error(HTTPStatus.NOT_FOUND, "no such stream")
            return
        try:
            name, data = save_recent(view, query.get("seconds", [None])[0], head=self.command == "HEAD")
        except ClipUnavailable as error:
            self._error(error.status, str(error))
            return
        self._send(HTTPStatus.OK, data, "video/mp4", [("Content-Disposition", f'attachment; filename="{name}"')])

    def _mjpeg(self, view, query):
        try:
            fps = float(query.get("fps", [DEFAULT_MJPEG_FPS])[0])
            if not fps > 0:
                raise ValueError
        except ValueError:
            self._error(HTTPStatus.BAD_REQUEST, "fps must be a positive number")
            return
        interval = 1.0 / min(fps, MAX_MJPEG_FPS)
        self.close_connection = True
        self._headers(HTTPStatus.OK, f"multipart/x-mixed-replace; boundary={BOUNDARY}",
                      extra=[("Connection", "close")])
        if self.command == "HEAD":
            return
        # Each part ends with the next boundary, so a browser shows a frame as soon as it arrives.
        self.wfile.write(f"--{BOUNDARY}\r\n".encode())
        self.wfile.flush()
        with self.app.viewing(view):
            self._write_frames(view, interval)

    def _write_frames(self, view, interval):
        closing = self.app.closing
        shown, due = 0, time.monotonic()
        while not closing.is_set():
            wait = due - time.monotonic()
            if wait > 0 and closing.wait(wait):
                return
            frame = view.next_frame(after=shown, timeout=FRAME_WAIT)
            if frame is None:
                if view.closed or self._client_gone():
                    return
                continue
            data = view.jpeg(frame)
            self.wfile.write(
                f"Content-Type: image/jpeg\r\nContent-Length: {len(data)}\r\n"
                f"X-Frame-Number: {frame.number}\r\n\r\n".encode()
                + data + f"\r\n--{BOUNDARY}\r\n".encode())
            self.wfile.flush()
            shown = frame.number
            # Keep the rate on average, but never catch up with a burst after a pause.
            due = max(due + interval, time.monotonic())


class WebServer:
    """Serves the page for ``views`` on a daemon thread; ``url`` is its address."""

    def __init__(self, readers_by_index, host="127.0.0.1", port=0):
        jpeg_encoder()  # fails now, not at the first picture, when no encoder is installed
        self.static = _load_static()
        self.loopback_only = is_loopback(host)
        self.closing = threading.Event()
        self._viewers = {}
        self._viewers_lock = threading.Lock()
        self._httpd = _HttpServer((host, port), self)
        self.views = {int(index): StreamView(int(index), reader) for index, reader in readers_by_index.items()}
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.25},
                                        name="vantle-web", daemon=True)
        self._thread.start()

    @property
    def url(self):
        host, port = self._httpd.server_address[:2]
        shown = f"[{host}]" if ":" in host else host
        return f"http://{shown}:{port}/"

    def viewers(self, index=None):
        """MJPEG connections now open, for one stream or for all."""
        with self._viewers_lock:
            if index is None:
                return sum(self._viewers.values())
            return self._viewers.get(index, 0)

    @contextmanager
    def viewing(self, view):
        with self._viewers_lock:
            self._viewers[view.index] = self._viewers.get(view.index, 0) + 1
        try:
            yield
        finally:
            with self._viewers_lock:
                self._viewers[view.index] -= 1

    def close(self, timeout=5.0):
        """Stops serving; open MJPEG connections end within about FRAME_WAIT seconds."""
        if self.closing.is_set():
            return
        self.closing.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(timeout)
        deadline = time.monotonic() + timeout
        while self.viewers() and time.monotonic() < deadline:
            time.sleep(0.02)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def serve(readers_by_index, host="127.0.0.1", port=0):
    """Starts serving the live page of ``readers_by_index`` ({index: reader}) and returns the
    server (``.url``, ``.close()``). Port 0 picks a free port."""
    return WebServer(readers_by_index, host, port)
