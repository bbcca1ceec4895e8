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

import threading

HOST = "127.0.0.1"
PATH = "/demo"
WIDTH, HEIGHT, FPS = 640, 360, 25

# Clients that vanish without a TEARDOWN are dropped after this many seconds.
SESSION_TIMEOUT = 10


class DemoCameraError(RuntimeError):
    """The demo camera could not start."""


def _import_gi():
    try:
        import gi

        gi.require_version("Gst", "1.0")
        gi.require_version("GstRtspServer", "1.0")
        from gi.repository import GLib, Gst, GstRtspServer
    except (ImportError, ValueError) as error:
        raise DemoCameraError(
            "the demo camera needs PyGObject and the GstRtspServer 1.0 typelib "
            f"(Debian: python3-gi gir1.2-gst-rtsp-server-1.0): {error}"
        ) from None
    return GLib, Gst, GstRtspServer


def launch_description(Gst):
    """The media's launch string: a moving test card, a clock when available, H.264 over RTP."""
    caps = f"video/x-raw,format=I420,width={WIDTH},height={HEIGHT},framerate={FPS}/1"
    overlay = ""
    if Gst.ElementFactory.find("timeoverlay") is not None:
        overlay = "timeoverlay halignment=right valignment=bottom font-desc=\"Sans 18\" ! "
    return (
        f"( videotestsrc is-live=true pattern=smpte horizontal-speed=3 ! {caps} ! {overlay}"
        f"x264enc tune=zerolatency speed-preset=ultrafast key-int-max={FPS} ! "
        "rtph264pay name=pay0 pt=96 config-interval=1 )"
    )


class DemoCamera:
    """An RTSP server on ``host`` serving the demo picture at ``path``; port 0 picks a free port."""

    def __init__(self, port=0, host=HOST, path=PATH):
        self.host = host
        self.requested_port = int(port)
        self.path = "/" + path.lstrip("/")
        self.port = None
        self._server = None
        self._context = None
        self._loop = None
        self._thread = None
        self._source_id = 0
        self._timer = None

    @property
    def url(self):
        if self.port is None:
            raise DemoCameraError("the demo camera is not running")
        return f"rtsp://{self.host}:{self.port}{self.path}"

    @property
    def running(self):
        return self._thread is not None and self._thread.is_alive()

    def start(self):
        if self.running:
            return self
        GLib, Gst, GstRtspServer = _import_gi()
        Gst.init(None)

        server = GstRtspServer.RTSPServer()
        server.set_address(self.host)
        server.set_service(str(self.requested_port))
        # The default pool has a single thread, which would serialise the clients.
        server.get_thread_pool().set_max_threads(16)

        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(launch_description(Gst))
        factory.set_shared(True)
        # RTP/RTCP over UDP stays on the server's own address too.
        pool = GstRtspServer.RTSPAddressPool()
        pool.add_range(self.host, self.host, 30000, 39999, 0)
        factory.set_address_pool(pool)
        server.get_mount_points().add_factory(self.path, factory)

        def on_client(_server, client):
            client.connect("new-session", lambda _c, session: session.set_timeout(SESSION_TIMEOUT))

        server.connect("client-connected", on_client)

        context = GLib.MainContext.new()
        source_id = server.attach(context)
        if source_id == 0:
            raise DemoCameraError(f"the demo camera cannot listen on {self.host}:{self.requested_port}")

        def cleanup():
            server.get_session_pool().cleanup()
            return GLib.SOURCE_CONTINUE

        timer = GLib.timeout_source_new_seconds(2)
        timer.set_callback(lambda *_: cleanup())
        timer.attach(context)

        loop = GLib.MainLoop.new(context, False)
        ready = threading.Event()

        def run():
            context.push_thread_default()
            try:
                idle = GLib.idle_source_new()
                idle.set_callback(lambda *_: ready.set() or GLib.SOURCE_REMOVE)
                idle.attach(context)
                loop.run()
            finally:
                context.pop_thread_default()

        self._server, self._context, self._loop, self._source_id = server, context, loop, source_id
        self._timer = timer
        self.port = server.get_bound_port()
        self._thread = threading.Thread(target=run, name="DemoCameraThread", daemon=True)
        self._thread.start()
        if not ready.wait(10):
            self.stop()
            raise DemoCameraError("the demo camera's main loop did not start")
        return self

    def stop(self, timeout=5.0):
        """Disconnects every client and stops serving; the port is free afterwards."""
        if self._server is None:
            return
        from gi.repository import GLib, GstRtspServer

        server, context, loop = self._server, self._context, self._loop
        done = threading.Event()

        def shut_down():
            try:
                server.client_filter(lambda _s, _c: GstRtspServer.RTSPFilterResult.REMOVE)
                source = context.find_source_by_id(self._source_id)
                if source is not None:
                    source.destroy()
                self._timer.destroy()
            finally:
                done.set()
                loop.quit()
            return GLib.SOURCE_REMOVE

        if self.running:
            idle = GLib.idle_source_new()
            idle.set_callback(lambda *_: shut_down())
            idle.attach(context)
            done.wait(timeout)
            self._thread.join(timeout)
        self._server = self._context = self._loop = self._thread = self._timer = None
        self.port = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
