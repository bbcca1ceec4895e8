"""The ``vantle`` command line: watch live streams, probe one, or serve the demo camera.

    vantle watch [URL ...]      live table of every stream (no URL: the built-in demo camera);
                                --web also serves a live page of them
    vantle probe URL [--json]   open one stream, wait for its first frame, describe it
    vantle record URL --seconds N OUT.mp4
                                save N seconds of the stream's own video, without re-encoding
    vantle demo-camera          serve the demo camera alone until Ctrl-C

watch and probe also take URLs from --urls-file PATH or $VANTLE_URLS, which keeps passwords out of `ps`.

Run ``vantle COMMAND --help`` for the options. Exit status: 0 on success, 1 when a
stream failed (no frame, or it could not be opened), 2 for a bad command line.
Everything shown about a stream comes from its reader's stats().
"""

import argparse
import json
import os
import signal
import sys
import time
from pathlib import Path

from vantle.cli import facts
from vantle.cli.common import (
    DEFAULT_LATENCY,
    LOG_LEVELS,
    MAX_LATENCY,
    CommandError,
    close_feeds,
    error_text,
    open_feed,
    redact,
    set_up_logging,
    StopSignals,
)
from vantle.cli.record import add_record_command
from vantle.cli.snapshots import write_snapshots
from vantle.cli.table import PlainDisplay, TableDisplay, WatchedStream, failure_text, summary_line, watch_loop
from vantle.cli.urls import URLS_ENV, stream_urls

PROBE_JSON_SECONDS = 2.0  # how long --json keeps reading after the first frame


def one_line(text):
    return " ".join(str(text).split())


# --------------------------------------------------------------------------- watch


def cmd_watch(args):
    from vantle import loop_host

    loop_host.start()
    tty = sys.stdout.isatty() and not args.plain
    console = set_up_logging(args.log_level, hold=tty)
    streams = []
    camera = web = None
    with StopSignals() as stop:
        try:
            urls = stream_urls(args.urls, args.urls_file)
            if not urls:
                from vantle.demo_camera import DemoCamera

                camera = DemoCamera(port=0).start()
                urls = [camera.url]
                print(f"demo camera: {camera.url}", flush=True)
            for index, url in enumerate(urls):
                streams.append(WatchedStream(index, url, open_feed(url, args)))
            if args.web:
                web = start_web(streams, args)
            watch_loop(streams, args.seconds, stop, TableDisplay(console) if tty else PlainDisplay())
            if args.snapshot:
                write_snapshots(streams, Path(args.snapshot))
        finally:
            if web is not None:
                web.close()
            # The summary shows each stream as the last refresh saw it, not as closed.
            close_feeds([stream.feed for stream in streams])
            if camera is not None:
                camera.stop()

    for stream in streams:
        print(summary_line(stream))
    sys.stdout.flush()
    silent = [stream for stream in streams if stream.frames == 0]
    for stream in silent:
        failure = failure_text(stream, next_try=False)  # the reader is closed: no next try
        detail = f" ({one_line(failure)})" if failure else ""
        print(f"vantle watch: {stream.name} {stream.shown_url} delivered no frames{detail}", file=sys.stderr)
    return 1 if silent else 0


def start_web(streams, args):
    from vantle.web import JpegUnavailable, serve

    host = args.bind or "127.0.0.1"
    try:
        server = serve({stream.index: stream.feed for stream in streams}, host, args.port)
    except JpegUnavailable as error:
        raise CommandError(str(error)) from None
    except OSError as error:
        raise CommandError(f"cannot serve the page on {host}:{args.port}: {error.strerror or error}") from None
    if args.bind:
        print(f"vantle watch: warning: the page is served on {host}, so other machines can see every "
              "stream's picture without a password", file=sys.stderr, flush=True)
    print(f"web page: {server.url}", flush=True)
    return server


# --------------------------------------------------------------------------- probe


def wait_for_first_frame(feed, stop, timeout):
    """The reader's first frame; None when it halted, the time ran out or a stop was requested."""
    deadline = time.monotonic() + timeout
    while not stop.requested.is_set():
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        frame = feed.next_frame(0, timeout=min(left, 0.05))
        if frame is not None:
            return frame
        if feed.stats()["status"] == "halted":
            return None
    return None


def cmd_probe(args):
    from vantle import loop_host

    urls = stream_urls([args.url] if args.url else [], args.urls_file)
    if len(urls) != 1:
        raise CommandError(f"probe takes one URL (from the command line, --urls-file or ${URLS_ENV}); "
                           f"it was given {len(urls)}")
    url = urls[0]
    loop_host.start()
    set_up_logging(args.log_level)
    shown = redact(url)
    seconds = args.seconds if args.seconds is not None else (PROBE_JSON_SECONDS if args.json else 0.0)
    # Ctrl-C only sets a flag: the reader is always closed.
    with StopSignals() as stop:
        feed = open_feed(url, args)
        try:
            frame = wait_for_first_frame(feed, stop, args.timeout)
            if frame is not None and seconds > 0:
                stop.sleep(seconds)
            stats = feed.stats()
            latest = feed.latest_frame
        finally:
            close_feeds([feed])

    if args.json:
        print(json.dumps(stats, indent=2))
    if frame is None and stop.requested.is_set():
        print("vantle probe: interrupted", file=sys.stderr)
        return 130
    if frame is None:
        reason = stats["last_error"] or f"no frame within {args.timeout:g} s"
        if args.json:
            print(f"vantle probe: error: {shown}: {one_line(reason)}", file=sys.stderr)
            return 1
        raise CommandError(f"{shown}: {one_line(reason)}")
    if not args.json:
        for key, value in facts.probe_rows(stats, latest[1] if latest else None):
            print(f"{key + ':':<19}{value}")
    return 0


# --------------------------------------------------------------------------- demo camera


def cmd_demo_camera(args):
    from vantle.demo_camera import DemoCamera

    with StopSignals() as stop:
        camera = DemoCamera(port=args.port).start()
        try:
            print(camera.url, flush=True)
            print("serving the demo camera; Ctrl-C to stop", file=sys.stderr, flush=True)
            while not stop.sleep(3600):
                pass
        finally:
            camera.stop()
    return 0


# --------------------------------------------------------------------------- arguments


def _latency(text):
    value = int(text)
    if not 0 <= value <= MAX_LATENCY:
        raise argparse.ArgumentTypeError(f"must be between 0 and {MAX_LATENCY}")
    return value


def _positive(text):
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError("must be a positive number of seconds")
    return value


def _non_negative(text):
    value = float(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError("must be zero or a positive number of seconds")
    return value


def _port(text):
    value = int(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError("must be between 0 and 65535")
    return value


def _add_stream_options(parser):
    parser.add_argument("--latency", type=_latency, default=DEFAULT_LATENCY, metavar="MS",
                        help=f"RTSP jitter-buffer latency in milliseconds (default {DEFAULT_LATENCY}; "
                             "the library's own default is 2000)")
    parser.add_argument("--tcp", action="store_true", help="receive RTSP over TCP instead of UDP")
    parser.add_argument("--pipeline", metavar="STR",
                        help="custom GStreamer launch string with a '{url}' field and an appsink "
                             "named 'main_sink' (applies to every URL)")
    parser.add_argument("--urls-file", metavar="PATH",
                        help="read stream URLs from PATH ('-': standard input), one per line, '#' lines "
                             f"are comments; keeps passwords off the command line. Without URLs, ${URLS_ENV} "
                             "(URLs separated by spaces or newlines) is read")
    parser.add_argument("--log-level", choices=LOG_LEVELS, default="off", type=str.lower,
                        help="show the reader's log lines at this level and above on stderr (default off)")


def build_parser():
    parser = argparse.ArgumentParser(
        prog="vantle", description="Live video streams decoded to the newest BGR frame.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    watch = commands.add_parser(
        "watch", help="show live statistics for one or more streams",
        description="Opens every URL and shows, per stream: status, delivered frames per second, "
                    "resolution, age of the newest frame, delay (from the camera's sender reports), halts, rebuilds, "
                    "source framerate and decoder, "
                    "and for a failing stream how long it has failed and why. "
                    f"Without a URL (here, in --urls-file or in ${URLS_ENV}) it starts the built-in demo "
                    "camera and watches that. "
                    "Exits 0 only when every stream delivered at least one frame.")
    watch.add_argument("urls", nargs="*", metavar="URL", help="rtsp://, http:// or https:// stream URLs")
    watch.add_argument("--seconds", type=_positive, metavar="N", help="stop after N seconds (default: Ctrl-C)")
    watch.add_argument("--keyframes-only", action="store_true", help="decode keyframes only")
    watch.add_argument("--snapshot", metavar="DIR",
                       help="on exit, write each stream's newest frame to DIR/stream-<n>.png")
    watch.add_argument("--plain", action="store_true",
                       help="print plain lines once a second even on a terminal")
    watch.add_argument("--web", action="store_true",
                       help="also serve a live page of every stream on 127.0.0.1 and print its address")
    watch.add_argument("--port", type=_port, default=0, help="port of the page (default: a free one)")
    watch.add_argument("--bind", metavar="ADDRESS",
                       help="serve the page on ADDRESS instead of 127.0.0.1 (other machines can see it)")
    _add_stream_options(watch)
    watch.set_defaults(handler=cmd_watch)

    probe = commands.add_parser(
        "probe", help="open a stream, wait for its first frame and describe it",
        description="Opens URL, waits for it to play and for its first frame, and prints the time to the "
                    "first frame, the resolution, the source framerate, whether it is limited to 20 fps, "
                    "the decoder and the transport; with --json, every field of the reader's stats().")
    probe.add_argument("url", metavar="URL", nargs="?",
                       help="the stream URL (or give it with --urls-file or $" + URLS_ENV + ")")
    probe.add_argument("--timeout", type=_positive, default=15.0, metavar="S",
                       help="give up after S seconds (default 15)")
    probe.add_argument("--json", action="store_true",
                       help="print the reader's stats() as JSON, taken after the first seconds of the stream")
    probe.add_argument("--seconds", type=_non_negative, metavar="S",
                       help=f"keep reading S seconds after the first frame before reporting "
                            f"(default 0, or {PROBE_JSON_SECONDS:g} with --json)")
    _add_stream_options(probe)
    probe.set_defaults(handler=cmd_probe)

    add_record_command(commands, _add_stream_options)

    demo = commands.add_parser(
        "demo-camera", help="serve the demo RTSP camera until Ctrl-C",
        description="Serves a moving 640x360 H.264 test picture at 25 fps on 127.0.0.1 and prints its URL.")
    demo.add_argument("--port", type=_port, default=0, help="port to listen on (default: a free one)")
    demo.set_defaults(handler=cmd_demo_camera)
    return parser


def _version():
    try:
        from vantle import __version__
    except ImportError:
        return "unknown"
    return __version__


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.handler(args)
    except CommandError as error:
        print(f"vantle {args.command}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"vantle {args.command}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # Whoever read the output went away (`vantle watch | head`): the streams are closed by now;
        # end quietly with the status of a tool that SIGPIPE ended, and let no later flush raise.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 128 + signal.SIGPIPE
    except Exception as error:  # one line, not a traceback, unless debugging
        if getattr(args, "log_level", "off") == "debug":
            raise
        known = error.__class__.__module__.startswith("vantle")
        prefix = "" if known else f"{type(error).__name__}: "
        print(f"vantle {args.command}: error: {prefix}{error_text(error)}", file=sys.stderr)
        return 1
    finally:
        sys.stdout.flush()
