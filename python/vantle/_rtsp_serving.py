"""RTSP servers on a loopback address: the demo camera's (`vantle watch` without URLs, `vantle
demo-camera`), the test servers' (tests/streams/) and the bench servers' (bench/).

A `Server` keeps its clients' RTP/RTCP sockets on its own address, serves its clients on a thread
pool and drops those that vanish without a TEARDOWN. It runs either on a main context of its own
on a daemon thread (`start_thread`, inside the caller's process) or as the main loop of a server
process (`serving_loop`). Needs PyGObject with the GstRtspServer typelib (Debian: python3-gi,
gir1.2-gst-rtsp-server-1.0).
"""

import os
import signal
import threading

HOST = "127.0.0.1"


class ServingError(RuntimeError):
    """An RTSP server could not start."""


def gi_modules():
    """GLib, Gst (initialized) and GstRtspServer from PyGObject."""
    try:
        import gi

        gi.require_version("Gst", "1.0")
        gi.require_version("GstRtspServer", "1.0")
        from gi.repository import GLib, Gst, GstRtspServer
    except (ImportError, ValueError) as error:
        raise ServingError(
            "serving RTSP needs PyGObject and the GstRtspServer 1.0 typelib "
            f"(Debian: python3-gi gir1.2-gst-rtsp-server-1.0): {error}"
        ) from None
    Gst.init(None)
    return GLib, Gst, GstRtspServer


def video(fps=25, width=320, height=240, pattern="smpte horizontal-speed=2", frames=-1, fmt="I420"):
    """Launch text of a live test picture."""
    return (f"videotestsrc is-live=true num-buffers={frames} pattern={pattern} ! "
            f"video/x-raw,format={fmt},width={width},height={height},framerate={fps}/1")


def h264(key_interval=25, config_interval=-1):
    """Launch text that encodes H.264 for a mount's first stream. config-interval=-1 repeats SPS/PPS
    with every IDR, so late joiners of a shared media can start at the next keyframe."""
    return (f"x264enc tune=zerolatency speed-preset=ultrafast key-int-max={key_interval} ! "
            f"rtph264pay name=pay0 pt=96 config-interval={config_interval}")


class Server:
    """An RTSP server on `host`; port 0 picks a free port. `udp_ports` is the range its clients'
    RTP/RTCP sockets take; `session_timeout` (seconds) drops clients that stopped talking, None
    keeps the default of 60 s."""

    def __init__(self, port=0, host=HOST, *, udp_ports=(20000, 29999), max_threads=16, session_timeout=10):
        GLib, self.Gst, GstRtspServer = gi_modules()
        self._GLib, self._GstRtspServer = GLib, GstRtspServer
        self.host = host
        self.requested_port = int(port)
        self.server = GstRtspServer.RTSPServer()
        self.server.set_address(host)
        self.server.set_service(str(self.requested_port))
        # The default pool has a single thread, which would serialise the clients.
        self.server.get_thread_pool().set_max_threads(max_threads)
        # By default the UDP sockets bind to every interface.
        self.pool = GstRtspServer.RTSPAddressPool()
        self.pool.add_range(host, host, udp_ports[0], udp_ports[1], 0)
        if session_timeout is not None:
            def on_client(_server, client):
                client.connect("new-session", lambda _c, session: session.set_timeout(session_timeout))

            self.server.connect("client-connected", on_client)
        self._source_id = 0
        self._context = self._loop = self._thread = self._timer = None

    def mount(self, path, launch=None, *, factory=None, shared=True, on_configure=None):
        """Serves `launch` (a bin description whose payloader is named pay0) or `factory` at `path`.
        A shared media is one running pipeline that clients join, as they join a camera; an
        unshared one starts from its first frame for each client. `on_configure(media)` is called
        for each new media."""
        if factory is None:
            factory = self._GstRtspServer.RTSPMediaFactory()
            factory.set_launch(f"( {launch} )")
        factory.set_shared(shared)
        factory.set_address_pool(self.pool)
        if on_configure is not None:
            factory.connect("media-configure", lambda _factory, media: on_configure(media))
        self.server.get_mount_points().add_factory(path, factory)
        return factory

    def listen(self, context=None):
        """Starts listening, with the accepting source on `context` (None: the default one)."""
        self._source_id = self.server.attach(context)
        if self._source_id == 0:
            raise ServingError(f"cannot listen on {self.host}:{self.requested_port}")

    @property
    def port(self):
        return self.server.get_bound_port()

    def url(self, path=""):
        return f"rtsp://{self.host}:{self.port}{path}"

    # ------------------------------------------------------------------ on a thread of its own

    def start_thread(self, name="RtspServerThread", cleanup_s=2, ready_timeout=10.0):
        """Listens and serves on a main context of its own, run by a daemon thread, so that it works
        whether or not the caller runs a GLib main loop."""
        GLib = self._GLib
        context = GLib.MainContext.new()
        self.listen(context)
        def cleanup(*_):
            self.server.get_session_pool().cleanup()
            return GLib.SOURCE_CONTINUE

        self._timer = GLib.timeout_source_new_seconds(cleanup_s)
        self._timer.set_callback(cleanup)
        self._timer.attach(context)
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

        self._context, self._loop = context, loop
        self._thread = threading.Thread(target=run, name=name, daemon=True)
        self._thread.start()
        if not ready.wait(ready_timeout):
            self.stop_thread()
            raise ServingError("the RTSP server's main loop did not start")

    @property
    def thread_running(self):
        return self._thread is not None and self._thread.is_alive()

    def stop_thread(self, timeout=5.0):
        """Disconnects every client and stops listening and serving; the port is free afterwards."""
        if self._context is None:
            return
        GLib, GstRtspServer = self._GLib, self._GstRtspServer
        context, loop = self._context, self._loop
        done = threading.Event()

        def shut_down():
            try:
                self.server.client_filter(lambda _s, _c: GstRtspServer.RTSPFilterResult.REMOVE)
                source = context.find_source_by_id(self._source_id)
                if source is not None:
                    source.destroy()
                self._timer.destroy()
            finally:
                done.set()
                loop.quit()
            return GLib.SOURCE_REMOVE

        if self.thread_running:
            idle = GLib.idle_source_new()
            idle.set_callback(lambda *_: shut_down())
            idle.attach(context)
            done.wait(timeout)
            self._thread.join(timeout)
        self._context = self._loop = self._thread = self._timer = None


def serving_loop(server, lifetime_s, tick_ms):
    """The main loop of a server process serving `server` (a GstRtspServer.RTSPServer) on the
    default context: it ends after `lifetime_s`, on SIGINT/SIGTERM, or when the parent process is
    gone; stale sessions are cleaned up every `tick_ms`. Tearing down live media with clients
    attached can block, so such a process ends with os._exit once the loop returns."""
    GLib, _, _ = gi_modules()
    loop = GLib.MainLoop()
    parent = os.getppid()

    def tick():
        server.get_session_pool().cleanup()
        if os.getppid() != parent:
            loop.quit()
        return GLib.SOURCE_CONTINUE

    GLib.timeout_add(tick_ms, tick)
    GLib.timeout_add(int(lifetime_s * 1000), loop.quit)
    for sig in (signal.SIGINT, signal.SIGTERM):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
    return loop
