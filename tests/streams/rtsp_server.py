"""RTSP server with synthetic live mounts for tests and benchmarks.

Run as ``python tests/streams/rtsp_server.py --port 0``: once listening it
prints its base URL (``rtsp://127.0.0.1:PORT``) as one line on stdout.
It exits by itself after ``--lifetime`` seconds or when its parent dies. The serving itself
(loopback sockets, client threads, session timeouts, the process's main loop) is
vantle._rtsp_serving's, shared with the demo camera and the bench servers.
"""

import argparse
import os
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

import clock_camera  # noqa: E402  (beside this script)
from vantle._rtsp_serving import Server, ServingError, h264, serving_loop, video  # noqa: E402


def h265(key_interval=25):
    return (f"x265enc tune=zerolatency speed-preset=ultrafast key-int-max={key_interval} ! "
            f"rtph265pay name=pay0 pt=96 config-interval=-1")


# H.263: a codec that MP4 files cannot hold (Matroska can), at one of its few picture sizes.
H263 = "avenc_h263 gop-size=25 ! rtph263pay name=pay0 pt=34"
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
    "/h265": (f"{video()} ! {h265(25)}", True),
    "/h263": (f"{video(width=352, height=288)} ! {H263}", True),
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
# Further mounts, made in build_server: /lossy (LossyFactory), /resize (start_resizing) and the
# cameras with a true clock (clock_camera.MOUNTS).


class LossyFactory(GstRtspServer.RTSPMediaFactory):
    """/lossy: H.264 whose RTP packets are dropped at random after the payloader (3 %), as on a
    lossy network."""

    def do_create_element(self, _url):
        top = Gst.Bin.new(None)
        encode = Gst.parse_bin_from_description(f"{video()} ! x264enc tune=zerolatency speed-preset=ultrafast "
                                                "key-int-max=25", True)
        # The server takes the stream from the element named pay0 (here a bin with a "src"
        # ghost pad) and finds the payloader inside it.
        pay = Gst.parse_bin_from_description("rtph264pay pt=96 config-interval=-1 ! identity drop-probability=0.03",
                                             True)
        pay.set_name("pay0")
        top.add(encode)
        top.add(pay)
        encode.link(pay)
        return top


# /resize cycles through these every RESIZE_PERIOD_MS: (width, height, ARGB colour).
RESIZE_STEPS = [(320, 240, 0xFFFF0000), (640, 360, 0xFF0000FF), (322, 242, 0xFF00FF00)]
RESIZE_PERIOD_MS = 1500


def resize_launch(width, height, argb):
    return (f"videotestsrc name=src is-live=true pattern=solid-color foreground-color={argb:#010x} ! videoscale ! "
            f"capsfilter name=size caps=video/x-raw,format=I420,width={width},height={height},framerate=15/1 ! "
            f"{h264(15)}")


def start_resizing(media):
    """Changes the picture size and colour of a /resize media while it lives."""
    element = media.get_element()
    src, size = element.get_by_name("src"), element.get_by_name("size")
    state = {"step": 0}

    def step():
        state["step"] = (state["step"] + 1) % len(RESIZE_STEPS)
        width, height, argb = RESIZE_STEPS[state["step"]]
        src.set_property("foreground-color", argb)
        size.set_property("caps", Gst.Caps.from_string(
            f"video/x-raw,format=I420,width={width},height={height},framerate=15/1"))
        return GLib.SOURCE_CONTINUE

    source = GLib.timeout_add(RESIZE_PERIOD_MS, step)
    media.connect("unprepared", lambda _media: GLib.source_remove(source))


def build_server(port, clock_offset=0.0):
    server = Server(port)
    for path, (launch, shared) in MOUNTS.items():
        server.mount(path, launch, shared=shared)
    server.mount("/lossy", factory=LossyFactory(), shared=False)
    server.mount("/resize", resize_launch(*RESIZE_STEPS[0]), shared=False, on_configure=start_resizing)
    for path, factory in clock_camera.factories(clock_offset):
        server.mount(path, factory=factory, shared=True)
    return server


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--lifetime", type=float, default=600.0, help="seconds before exiting")
    parser.add_argument("--clock-offset", type=float, default=0.0,
                        help="seconds the clock cameras' wall clock is off")
    args = parser.parse_args(argv)

    server = build_server(args.port, args.clock_offset)
    try:
        server.listen()
    except ServingError as error:
        sys.exit(f"rtsp_server: {error}")
    loop = serving_loop(server.server, args.lifetime, tick_ms=1000)
    print(server.url(), flush=True)
    loop.run()
    # The OS closes the sockets, which is all a restart on the same port needs.
    os._exit(0)


if __name__ == "__main__":
    main()
