"""Synthetic stream servers for tests and benchmarks, run as child processes.

    from tests.streams import RtspServer, HttpServer, FaultServer

    with RtspServer() as rtsp, HttpServer() as http:
        rtsp.url("/h264")       # rtsp://127.0.0.1:PORT/h264
        http.url("/live.ts")    # http://127.0.0.1:PORT/live.ts
        rtsp.restart()          # same port, fresh process

Each server prints its base URL on stdout once it listens, exits after
``lifetime`` seconds at most, and exits when the process that started it dies.
"""

import select
import socket
import subprocess
import sys
import time
from pathlib import Path
from urllib.parse import quote, urlsplit

HERE = Path(__file__).resolve().parent


class ServerProcess:
    """One server script run with ``--port``; restartable on the same port."""

    script = None

    def __init__(self, port=0, lifetime=600.0, startup_timeout=20.0):
        self.port = port
        self.lifetime = lifetime
        self.startup_timeout = startup_timeout
        self.base = None
        self.proc = None

    def url(self, path="/", user=None, password=None):
        """URL of ``path``, with ``user:password@`` when credentials are given."""
        parts = urlsplit(self.base)
        netloc = parts.netloc
        if user is not None:
            auth = quote(user, safe="")
            if password is not None:
                auth += ":" + quote(password, safe="")
            netloc = f"{auth}@{netloc}"
        return f"{parts.scheme}://{netloc}/{path.lstrip('/')}"

    def extra_args(self):
        return []

    @property
    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def start(self):
        if self.running:
            return self
        # A port just freed by stop() can take a moment to be reusable.
        deadline = time.monotonic() + self.startup_timeout
        while True:
            try:
                self._spawn(deadline)
                return self
            except RuntimeError:
                if self.port == 0 or time.monotonic() > deadline:
                    raise
                time.sleep(0.2)

    def _spawn(self, deadline):
        cmd = [sys.executable, str(self.script), "--port", str(self.port),
               "--lifetime", str(self.lifetime), *self.extra_args()]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True)
        line = ""
        while not line and time.monotonic() < deadline and self.proc.poll() is None:
            if select.select([self.proc.stdout], [], [], 0.1)[0]:
                line = self.proc.stdout.readline().strip()
        if not line:
            self.stop()
            raise RuntimeError(f"{self.script.name} did not start on port {self.port}")
        self.base = line
        self.port = urlsplit(line).port
        wait_for_port(self.port, deadline - time.monotonic())

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        self.proc.stdout.close()
        self.proc = None

    def restart(self):
        self.stop()
        return self.start()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class RtspServer(ServerProcess):
    """Mounts: see ``MOUNTS`` in rtsp_server.py."""

    script = HERE / "rtsp_server.py"


class HttpServer(ServerProcess):
    """Paths: see ``STREAMS`` in http_server.py; anything else is 404."""

    script = HERE / "http_server.py"
    user, password = "user", "secret"  # accepted by /private.ts
    odd_user, odd_password = "cam", "Pw#Se;cr,et/@x9!"  # accepted too, typed without percent-encoding


class FaultServer(ServerProcess):
    """A server that misbehaves in one way (``MODES`` in fault_server.py), for any scheme:
    ``FaultServer("silent").url("/x", scheme="http")``."""

    script = HERE / "fault_server.py"

    def __init__(self, mode, **kwargs):
        super().__init__(**kwargs)
        self.mode = mode

    def extra_args(self):
        return ["--mode", self.mode]

    def url(self, path="/", user=None, password=None, scheme="rtsp"):
        return scheme + super().url(path, user, password).removeprefix("tcp")


def wait_for_port(port, timeout=10.0, host="127.0.0.1"):
    """Block until a TCP connect to host:port succeeds."""
    deadline = time.monotonic() + max(timeout, 0.1)
    while True:
        try:
            with socket.create_connection((host, port), timeout=0.5):
                return
        except OSError:
            if time.monotonic() > deadline:
                raise TimeoutError(f"nothing listens on {host}:{port}") from None
            time.sleep(0.05)
