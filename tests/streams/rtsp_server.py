"""RTSP server with synthetic live mounts for tests and benchmarks.

Run as ``python tests/streams/rtsp_server.py --port 0``: once listening it
prints its base URL (``rtsp://127.0.0.1:PORT``) as one line on stdout.
It exits by itself after ``--lifetime`` seconds or when its parent dies.
"""

import argparse
import os
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

HOST = "127.0.0.1"


def video(fps=25, width=320, height=240, pattern="smpte horizontal-speed=2", frames=-1, fmt="I420"):
    return (f"videotestsrc is-live=true num-buffers={frames} pattern={pattern} ! "
            f"video/x-raw,format={fmt},width={width},height={height},framerate={fps}/1")


def h264(key_interval=25):
    # config-interval=-1 repeats SPS/PPS with every IDR so late joiners of a
    # shared media can start decoding at the next keyframe.
    return (f"x264enc tune=zerolatency speed-preset=ultrafast key-int-max={key_interval} ! "
            f"rtph264pay name=pay0 pt=96 config-interval=-1")


MJPEG = "jpegenc quality=85 ! rtpjpegpay name=pay0 pt=26"
AUDIO = ("audiotestsrc is-live=true wave=sine ! audio/x-raw,rate=8000,channels=1 ! "
         "alawenc ! rtppcmapay name=pay1 pt=8")
# A JPEG RTP stream only carries a frame rate when the payloader knows one;
# hiding it makes the receiver's decoded caps say framerate=0/1, as with
# cameras that send no timing information.
NO_RATE = 'capssetter caps="video/x-raw,framerate=(fraction)0/1"'


def solid(argb):
    return f"solid-color foreground-color={argb:#010x}"


# mount -> (launch, shared). Shared mounts behave like a camera: clients join
# one running encoder. Unshared ones start from the first frame per client.
MOUNTS = {
    "/h264": (f"{video()} ! {h264(25)}", True),
    "/h264-longgop": (f"{video()} ! {h264(100)}", False),
    "/mjpeg": (f"{video()} ! {MJPEG}", True),
    "/h264-audio": (f"{video()} ! {h264(25)} {AUDIO}", True),
    "/fps25": (f"{video(25)} ! {h264(25)}", True),
    "/fps20": (f"{video(20)} ! {h264(20)}", True),
    "/fps15": (f"{video(15)} ! {h264(15)}", True),
    "/dynamic": (f"{video()} ! {NO_RATE} ! {MJPEG}", True),
    "/odd": (f"{video(width=322, height=242, pattern='smpte')} ! {h264(25)}", True),
    "/red": (f"{video(pattern=solid(0xFFFF0000))} ! {h264(25)}", True),
    "/blue": (f"{video(pattern=solid(0xFF0000FF))} ! {h264(25)}", True),
    "/ends": (f"{video(frames=50)} ! {h264(25)}", False),
    # Decoded as Y444 and I420_10LE, formats only videoconvert turns into BGR.
    "/h264-444": (f"{video(pattern='smpte', fmt='Y444')} ! {h264(25)}", True),
    "/h264-10bit": (f"{video(pattern='smpte', fmt='I420_10LE')} ! {h264(25)}", True),
}


def build_server(port):
    server = GstRtspServer.RTSPServer()
    server.set_address(HOST)
    server.set_service(str(port))
    # The default pool has one thread for all clients, which serialises them.
    server.get_thread_pool().set_max_threads(16)

    # Keep the RTP/RTCP UDP sockets on loopback too (by default they bind to
    # every interface).
    pool = GstRtspServer.RTSPAddressPool()
    pool.add_range(HOST, HOST, 20000, 29999, 0)

    mounts = server.get_mount_points()
    for path, (launch, shared) in MOUNTS.items():
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(f"( {launch} )")
        factory.set_shared(shared)
        factory.set_address_pool(pool)
        mounts.add_factory(path, factory)

    # Clients that vanish without TEARDOWN over UDP would otherwise be fed
    # for the default 60 s.
    def on_client(_server, client):
        client.connect("new-session", lambda _c, session: session.set_timeout(10))

    server.connect("client-connected", on_client)
    return server


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--lifetime", type=float, default=600.0, help="seconds before exiting")
    args = parser.parse_args(argv)

    Gst.init(None)
    server = build_server(args.port)
    if server.attach(None) == 0:
        sys.exit(f"rtsp_server: cannot listen on {HOST}:{args.port}")

    loop = GLib.MainLoop()
    parent = os.getppid()

    def tick():
        server.get_session_pool().cleanup()
        if os.getppid() != parent:
            loop.quit()
        return GLib.SOURCE_CONTINUE

    GLib.timeout_add_seconds(1, tick)
    GLib.timeout_add(int(args.lifetime * 1000), loop.quit)
    for sig in (signal.SIGINT, signal.SIGTERM):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)

    print(f"rtsp://{HOST}:{server.get_bound_port()}", flush=True)
    loop.run()
    # Tearing down live media with clients attached can block; the OS
    # closes the sockets, which is all a restart on the same port needs.
    os._exit(0)


if __name__ == "__main__":
    main()
