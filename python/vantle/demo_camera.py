"""A demo RTSP camera served from inside the process.

    from vantle.demo_camera import DemoCamera

    with DemoCamera() as camera:          # 127.0.0.1, a free port
        print(camera.url)                 # rtsp://127.0.0.1:PORT/demo

It serves a moving H.264 test picture (640x360 at 25 fps) to any number of
clients, who join one shared encoder the way they would join a real camera.
The server runs a GLib main context of its own on a daemon thread, so it works
whether or not ``vantle.loop_host`` has been started, and its clients are
handled on a thread pool. It needs PyGObject with the GstRtspServer typelib
(Debian: python3-gi, gir1.2-gst-rtsp-server-1.0).
"""

from vantle._rtsp_serving import HOST, Server, ServingError, h264, video

PATH = "/demo"
WIDTH, HEIGHT, FPS = 640, 360, 25

# Clients that vanish without a TEARDOWN are dropped after this many seconds.
SESSION_TIMEOUT = 10


class DemoCameraError(ServingError):
    """The demo camera could not start."""


def launch_description(Gst):
    """The media's launch text: a moving test card, a clock when available, H.264 over RTP."""
    overlay = ""
    if Gst.ElementFactory.find("timeoverlay") is not None:
        overlay = " ! timeoverlay halignment=right valignment=bottom font-desc=\"Sans 18\""
    picture = video(FPS, WIDTH, HEIGHT, pattern="smpte horizontal-speed=3")
    return f"{picture}{overlay} ! {h264(FPS, config_interval=1)}"


class DemoCamera:
    """An RTSP server on ``host`` serving the demo picture at ``path``; port 0 picks a free port."""

    def __init__(self, port=0, host=HOST, path=PATH):
        self.host = host
        self.requested_port = int(port)
        self.path = "/" + path.lstrip("/")
        self.port = None
        self._server = None

    @property
    def url(self):
        if self.port is None:
            raise DemoCameraError("the demo camera is not running")
        return f"rtsp://{self.host}:{self.port}{self.path}"

    @property
    def running(self):
        return self._server is not None and self._server.thread_running

    def start(self):
        if self.running:
            return self
        try:
            server = Server(self.requested_port, self.host, udp_ports=(30000, 39999),
                            session_timeout=SESSION_TIMEOUT)
            server.mount(self.path, launch_description(server.Gst))
            server.start_thread(name="DemoCameraThread")
        except ServingError as error:
            raise DemoCameraError(f"the demo camera: {error}") from None
        self._server, self.port = server, server.port
        return self

    def stop(self, timeout=5.0):
        """Disconnects every client and stops serving; the port is free afterwards."""
        if self._server is not None:
            self._server.stop_thread(timeout)
        self._server = self.port = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
