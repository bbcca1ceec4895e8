"""The ``vantle`` command line: watch live streams, probe one, or serve the demo camera.

    vantle watch [URL ...]      live table of every stream (no URL: the built-in demo camera)
    vantle probe URL            open one stream, wait for its first frame, describe it
    vantle demo-camera          serve the demo camera alone until Ctrl-C

Run ``vantle COMMAND --help`` for the options. Exit status: 0 on success, 1 when a
stream failed (no frame, or it could not be opened), 2 for a bad command line.
"""

import argparse
import logging
import re
import shutil
import signal
import sys
import threading
import time
from collections import deque
from pathlib import Path

from vantle.logger import redact_text

ROOT_LOGGER = "qv_streaming"
DEFAULT_LATENCY = 200  # ms of jitter buffer: snappier than the library's 2000 for a live view
MAX_LATENCY = 30000
LOG_LEVELS = ("debug", "info", "warning", "error", "critical", "off")

TTY_INTERVAL = 0.5
PLAIN_INTERVAL = 1.0
ERROR_BURST = 2.0  # seconds: pipeline errors closer together than this belong to one failure


class CommandError(Exception):
    """A failure reported as one line, without a traceback."""


# --------------------------------------------------------------------------- log facts


def _last_line(text):
    lines = [line.strip() for line in str(text).splitlines() if line.strip()]
    return lines[-1] if lines else ""


class StreamFacts:
    """What a stream's log lines told about it: decoder, framerate limit, last problem."""

    _PAD_RATE = re.compile(r"framerate=\(fraction\)(\d+)/(\d+)")
    _SOURCE_RATE = re.compile(r"^Source framerate is ([0-9.eE+-]+)")
    _LIMIT = re.compile(r"^Limiting framerate to (\d+) FPS")

    def __init__(self):
        self.decoder = None
        self.hardware = None  # True: VA-API, False: software, None: not known yet
        self.depayloader = None
        self.source_fps = None  # float; 0.0 when the stream's framerate is dynamic
        self.limited = None  # True when the reader limits the delivered framerate
        self.limit = None  # the limit, frames per second
        self.problem = None  # last warning or error, one line
        self.pipeline_error = None  # cause of the pipeline's latest failure, one line
        self._error_at = None

    def update(self, record):
        try:
            message = record.getMessage()
        except Exception:  # a malformed record must not break the reader's thread
            return
        if message.startswith("Setting up an appsink for pad:"):
            match = self._PAD_RATE.search(message)
            if match and int(match.group(2)):
                self.source_fps = int(match.group(1)) / int(match.group(2))
        elif message.startswith("The decodebin is using decoder:"):
            self.decoder = message.split(":", 1)[1].strip() or None
        elif message.startswith("Found depayloader:"):
            self.depayloader = message.split(":", 1)[1].strip() or None
        elif message.startswith("Using VA-API hardware decoding"):
            self.hardware = True
        elif message.startswith("Using software decoding"):
            self.hardware = False
        elif message.startswith("Limiting framerate to"):
            self.limited = True
            match = self._LIMIT.match(message)
            self.limit = int(match.group(1)) if match else None
        elif message.startswith("Source framerate is"):
            match = self._SOURCE_RATE.match(message)
            if match:
                self.source_fps = float(match.group(1))
            self.limited = False
        elif message.startswith("The stream's framerate cannot be determined"):
            self.source_fps = 0.0
        if record.levelno >= logging.WARNING:
            line = "end of stream" if message.startswith("Received EOS") else _last_line(message)
            if message.startswith("Error message on pipeline") or message.startswith("Received EOS"):
                # A failing pipeline posts a burst of errors; the first one names the cause.
                if self._error_at is None or record.created - self._error_at > ERROR_BURST:
                    self.pipeline_error = line
                self._error_at = record.created
            # The restart that follows an error says nothing about its cause.
            if not message.startswith("Pipeline state is null"):
                self.problem = line

    @property
    def last_error(self):
        text = self.pipeline_error or self.problem
        return redact(text) if text else None

    def decoder_text(self):
        if not self.decoder:
            return "-"
        return self.decoder + (" [VA-API]" if self.hardware else "")

    def source_text(self):
        if self.source_fps is None:
            return "-"
        rate = "dynamic" if self.source_fps == 0 else f"{self.source_fps:g}"
        return f"{rate}->{self.limit or '?'}" if self.limited else rate


class LogCapture(logging.Handler):
    """Sorts the reader's log records into one StreamFacts per stream URL."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self._facts = {}

    def track(self, url):
        from vantle.logger import get_stream_logger

        name = get_stream_logger(url).name
        return self._facts.setdefault(name, StreamFacts())

    def emit(self, record):
        facts = self._facts.get(record.name)
        if facts is not None:
            facts.update(record)


class ConsoleLog(logging.Handler):
    """The reader's log lines for the user: straight to stderr, or held for the live table."""

    def __init__(self, level, hold=False):
        super().__init__(level)
        self.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
        self.hold = hold
        self.held = deque(maxlen=200)

    def emit(self, record):
        try:
            line = self.format(record)
            if self.hold:
                self.held.append(line)
            else:
                sys.stderr.write(line + "\n")
                sys.stderr.flush()
        except Exception:
            self.handleError(record)

    def flush_held(self):
        while self.held:
            sys.stderr.write(self.held.popleft() + "\n")
        sys.stderr.flush()


def set_up_logging(level_name, hold=False):
    """Keeps the reader's loggers at INFO or below (their lines feed the facts) and shows
    ``level_name`` and above on stderr. Returns (capture, console)."""
    root = logging.getLogger(ROOT_LOGGER)
    capture = LogCapture()
    root.addHandler(capture)
    console = None
    if level_name != "off":
        console = ConsoleLog(getattr(logging, level_name.upper()), hold=hold)
        root.addHandler(console)
    root.setLevel(logging.DEBUG if level_name == "debug" else logging.INFO)
    # Our handlers show what should be shown; nothing goes on to Python's last-resort handler.
    root.propagate = False
    return capture, console


# --------------------------------------------------------------------------- helpers


def redact(text):
    """``text`` with the password of every URL in it shown as '***'."""
    return redact_text(str(text))


def error_text(error):
    """One line for an exception, with any URL password hidden."""
    text = _last_line(str(error)) or type(error).__name__
    return redact(text)


def _about(url, error):
    """The error's line, led by the (redacted) URL unless it already names it."""
    text, shown = error_text(error), redact(url)
    return text if shown in text else f"{shown}: {text}"


def feed_errors():
    from vantle.feed_contract import InvalidRuntimeOptionError, StreamReadError, StreamSetupError

    return (StreamSetupError, StreamReadError, InvalidRuntimeOptionError)


def open_feed(url, args, must_play=False):
    from vantle.live_feed import LiveFeed

    return LiveFeed(
        url,
        latency=args.latency,
        runtime_options={"keyframes_only": bool(getattr(args, "keyframes_only", False))},
        pipeline_str=args.pipeline,
        must_play=must_play,
        proxied=args.tcp,
    )


class StopSignals:
    """While active, SIGINT and SIGTERM only set ``requested``, so shutdown runs to the end."""

    def __init__(self):
        self.requested = threading.Event()
        self._previous = {}

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            for sig in (signal.SIGINT, signal.SIGTERM):
                self._previous[sig] = signal.signal(sig, self._handle)
        return self

    def _handle(self, _signum, _frame):
        self.requested.set()

    def __exit__(self, *exc):
        for sig, handler in self._previous.items():
            signal.signal(sig, handler)

    def sleep(self, seconds):
        """Sleeps up to ``seconds``; True when a stop was requested."""
        end = time.monotonic() + max(seconds, 0)
        while not self.requested.is_set():
            left = end - time.monotonic()
            if left <= 0:
                break
            time.sleep(min(left, 0.05))
        return self.requested.is_set()


# --------------------------------------------------------------------------- watch


class WatchedStream:
    """One reader and what the watcher saw of it."""

    def __init__(self, index, url, feed, facts):
        self.index = index
        self.url = url
        self.shown_url = redact(url)
        self.feed = feed
        self.facts = facts
        self.frames = 0
        self.first_received = None
        self.last_received = None
        self.shape = None
        self.halts = 0
        self.status = feed.status
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._counted = 0  # frames when the display last looked
        self._thread = threading.Thread(target=self._track, name=f"watch-{index}", daemon=True)
        self._thread.start()

    @property
    def name(self):
        return f"stream-{self.index}"

    def _track(self):
        from vantle.feed_contract import StreamStatus

        frame_event = self.feed.new_frame_event
        # Status is polled at least every 50 ms; each new frame wakes the loop at once.
        while not self._stop.is_set():
            status = self.feed.status
            if status != self.status:
                if status == StreamStatus.HALTED:
                    self.halts += 1
                self.status = status
            if frame_event.wait(0.05):
                frame_event.clear()
                latest = self.feed.latest_frame
                if latest is not None and latest[0] != self.last_received:
                    with self._lock:
                        self.frames += 1
                        self.last_received = latest[0]
                        if self.first_received is None:
                            self.first_received = latest[0]
                        self.shape = latest[1].shape

    def take_count(self):
        """Frames since the previous call."""
        with self._lock:
            delta = self.frames - self._counted
            self._counted = self.frames
        return delta

    def average_fps(self):
        if self.frames < 2 or self.last_received == self.first_received:
            return 0.0
        return (self.frames - 1) / (self.last_received - self.first_received)

    def size_text(self):
        return f"{self.shape[1]}x{self.shape[0]}" if self.shape else "-"

    def age(self):
        return None if self.last_received is None else max(time.time() - self.last_received, 0.0)

    def stop_tracking(self):
        self._stop.set()
        self._thread.join(2)


def _age_text(age):
    if age is None:
        return "-"
    return f"{age:.2f}s" if age < 10 else f"{age:.0f}s"


class TableDisplay:
    """A table redrawn in place on a terminal."""

    COLUMNS = "{:<3} {:<12} {:>5}  {:<9} {:>6} {:>5}  {:<11} {:<22} {}"

    def __init__(self, console):
        self.console = console
        self.drawn = 0
        sys.stdout.write("\x1b[?25l")  # hide the cursor while redrawing

    def refresh(self, streams, rates, elapsed):
        width = max(shutil.get_terminal_size((120, 24)).columns - 1, 20)
        lines = [f"vantle watch  {len(streams)} stream(s)  {elapsed:6.1f}s   Ctrl-C to stop",
                 self.COLUMNS.format("#", "STATUS", "FPS", "SIZE", "AGE", "HALTS", "SOURCE", "DECODER", "URL")]
        for stream, rate in zip(streams, rates):
            lines.append(self.COLUMNS.format(
                stream.index, stream.status.value, f"{rate:.1f}", stream.size_text(), _age_text(stream.age()),
                stream.halts, stream.facts.source_text(), stream.facts.decoder_text(), stream.shown_url))
            if stream.status.value != "streaming" and stream.facts.last_error:
                lines.append(f"    last error: {stream.facts.last_error}")
        if self.drawn:  # back to the table's first line, and clear from there down
            sys.stdout.write(f"\x1b[{self.drawn}F\x1b[J")
            sys.stdout.flush()
        # Held log lines go above the table, where they scroll away with the terminal.
        if self.console is not None:
            self.console.flush_held()
        sys.stdout.write("".join(line[:width] + "\n" for line in lines))
        sys.stdout.flush()
        self.drawn = len(lines)

    def close(self):
        sys.stdout.write("\x1b[?25h")
        sys.stdout.flush()
        if self.console is not None:
            self.console.hold = False
            self.console.flush_held()


class PlainDisplay:
    """One line per stream per refresh, for logs and pipes."""

    def refresh(self, streams, rates, elapsed):
        for stream, rate in zip(streams, rates):
            line = (f"t={elapsed:.1f} {stream.name} status={stream.status.value} fps={rate:.1f} "
                    f"size={stream.size_text()} age={_age_text(stream.age())} halts={stream.halts} "
                    f"source={stream.facts.source_text()} decoder={stream.facts.decoder or '-'} "
                    f"url={stream.shown_url}")
            if stream.status.value != "streaming" and stream.facts.last_error:
                line += f" last_error={stream.facts.last_error!r}"
            print(line)
        sys.stdout.flush()

    def close(self):
        pass


def _yes_no(value):
    return "-" if value is None else ("yes" if value else "no")


def summary_line(stream):
    facts = stream.facts
    hardware = "-" if facts.hardware is None else ("VA-API" if facts.hardware else "software")
    return (f"summary {stream.name} frames={stream.frames} fps={stream.average_fps():.1f} "
            f"size={stream.size_text()} halts={stream.halts} status={stream.status.value} "
            f"decoder={facts.decoder or '-'} decoding={hardware} source={facts.source_text()} "
            f"limited={_yes_no(facts.limited)} url={stream.shown_url}")


def cmd_watch(args):
    from vantle import loop_host

    loop_host.start()
    tty = sys.stdout.isatty() and not args.plain
    capture, console = set_up_logging(args.log_level, hold=tty)
    streams = []
    camera = web = None
    with StopSignals() as stop:
        try:
            urls = list(args.urls)
            if not urls:
                from vantle.demo_camera import DemoCamera

                camera = DemoCamera(port=0).start()
                urls = [camera.url]
                print(f"demo camera: {camera.url}", flush=True)
            for index, url in enumerate(urls):
                facts = capture.track(url)
                try:
                    feed = open_feed(url, args)
                except feed_errors() as error:
                    raise CommandError(_about(url, error)) from None
                streams.append(WatchedStream(index, url, feed, facts))
            if args.web:
                web = start_web(streams, args)
            _watch_loop(streams, args, stop, TableDisplay(console) if tty else PlainDisplay())
            if args.snapshot:
                write_snapshots(streams, Path(args.snapshot))
        finally:
            if web is not None:
                web.close()
            _close_streams(streams)
            if camera is not None:
                camera.stop()

    for stream in streams:
        print(summary_line(stream))
    sys.stdout.flush()
    silent = [stream for stream in streams if stream.frames == 0]
    for stream in silent:
        reason = stream.facts.last_error
        detail = f" (last error: {reason})" if reason else ""
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


def _watch_loop(streams, args, stop, display):
    interval = PLAIN_INTERVAL if isinstance(display, PlainDisplay) else TTY_INTERVAL
    start = time.monotonic()
    deadline = None if args.seconds is None else start + args.seconds
    last = start
    try:
        while True:
            next_refresh = last + interval
            wake = next_refresh if deadline is None else min(next_refresh, deadline)
            if stop.sleep(wake - time.monotonic()):
                break
            now = time.monotonic()
            if now >= next_refresh - 1e-3:
                span = max(now - last, 1e-6)
                rates = [stream.take_count() / span for stream in streams]
                display.refresh(streams, rates, now - start)
                last = now
            if deadline is not None and now >= deadline:
                break
        now = time.monotonic()
        if now - last >= interval / 2:  # the stretch since the last refresh, when it is worth one
            span = now - last
            display.refresh(streams, [stream.take_count() / span for stream in streams], now - start)
    finally:
        display.close()


def _close_streams(streams):
    # The trackers stop first, so that the summary shows each stream as it was, not as closed.
    for stream in streams:
        stream.stop_tracking()
    for stream in streams:
        stream.feed.close()
    for stream in streams:
        stream.feed.wait_until_closed()


# --------------------------------------------------------------------------- snapshots


def write_snapshots(streams, folder):
    folder.mkdir(parents=True, exist_ok=True)
    for stream in streams:
        latest = stream.feed.latest_frame
        if latest is None:
            print(f"snapshot: {stream.name} has no frame", file=sys.stderr)
            continue
        path = folder / f"{stream.name}.png"
        write_png(latest[1], path)
        print(f"snapshot: {path} ({latest[1].shape[1]}x{latest[1].shape[0]})")


def write_png(frame, path):
    """Writes a BGR frame as a PNG file, with GStreamer's pngenc (or Pillow without PyGObject)."""
    try:
        import gi

        gi.require_version("Gst", "1.0")
        from gi.repository import Gst
    except (ImportError, ValueError):
        Gst = None
    if Gst is not None:
        _write_png_gstreamer(Gst, frame, path)
        return
    try:
        from PIL import Image
    except ImportError:
        raise CommandError("writing a snapshot needs PyGObject (GStreamer) or Pillow") from None
    Image.fromarray(frame[:, :, ::-1].copy()).save(path, format="PNG")


def _write_png_gstreamer(Gst, frame, path):
    import numpy as np

    Gst.init(None)
    height, width = frame.shape[:2]
    # GStreamer lays packed 24-bit rows out on 4-byte boundaries.
    stride = (width * 3 + 3) & ~3
    rows = np.zeros((height, stride), np.uint8)
    rows[:, : width * 3] = np.ascontiguousarray(frame).reshape(height, width * 3)

    pipeline = Gst.parse_launch(
        f"appsrc name=src format=time caps=video/x-raw,format=BGR,width={width},height={height},framerate=0/1 "
        "! videoconvert ! pngenc snapshot=true ! filesink name=sink")
    pipeline.get_by_name("sink").set_property("location", str(path))
    src = pipeline.get_by_name("src")
    try:
        if pipeline.set_state(Gst.State.PLAYING) == Gst.StateChangeReturn.FAILURE:
            raise CommandError(f"cannot write {path}: the PNG pipeline did not start")
        buffer = Gst.Buffer.new_wrapped(rows.tobytes())
        buffer.pts = 0
        buffer.duration = Gst.SECOND
        src.emit("push-buffer", buffer)
        src.emit("end-of-stream")
        message = pipeline.get_bus().timed_pop_filtered(
            10 * Gst.SECOND, Gst.MessageType.EOS | Gst.MessageType.ERROR)
        if message is None:
            raise CommandError(f"cannot write {path}: timed out")
        if message.type == Gst.MessageType.ERROR:
            error, _debug = message.parse_error()
            raise CommandError(f"cannot write {path}: {error.message}")
    finally:
        pipeline.set_state(Gst.State.NULL)


# --------------------------------------------------------------------------- probe


def cmd_probe(args):
    from vantle import live_feed, loop_host

    loop_host.start()
    capture, _console = set_up_logging(args.log_level)
    facts = capture.track(args.url)
    shown = redact(args.url)
    started_wall = time.time()
    deadline = time.monotonic() + args.timeout

    from vantle.feed_contract import StreamStatus

    latest = None
    # Ctrl-C only sets a flag, also while the reader waits for PLAYING: the reader is always closed.
    with StopSignals() as stop:
        # The wait for PLAYING gets the probe's own time limit instead of the reader's default.
        saved = live_feed._STATE_CHANGE_TIMEOUT
        live_feed._STATE_CHANGE_TIMEOUT = args.timeout
        try:
            feed = open_feed(args.url, args, must_play=True)
        except feed_errors() as error:
            text = _about(args.url, error)
            cause = facts.last_error
            raise CommandError(f"{text} ({cause})" if cause and cause not in text else text) from None
        finally:
            live_feed._STATE_CHANGE_TIMEOUT = saved
        try:
            while not stop.requested.is_set():
                latest = feed.latest_frame
                if latest is not None or feed.status == StreamStatus.HALTED or time.monotonic() >= deadline:
                    break
                feed.new_frame_event.wait(0.05)
        finally:
            feed.close()
            feed.wait_until_closed()

    if latest is None and stop.requested.is_set():
        print("vantle probe: interrupted", file=sys.stderr)
        return 130
    if latest is None:
        reason = facts.last_error or f"no frame within {args.timeout:g} s"
        raise CommandError(f"{shown}: {reason}")

    received_at, frame = latest
    hardware = "-" if facts.hardware is None else ("yes (VA-API)" if facts.hardware else "no (software)")
    if facts.source_fps is None:
        source = "unknown"
    elif facts.source_fps == 0:
        source = "dynamic"
    else:
        source = f"{facts.source_fps:g} fps"
    if facts.limited is None:
        limited = "unknown"
    else:
        limited = f"yes (to {facts.limit or '?'} fps)" if facts.limited else "no"
    rows = [
        ("url", shown),
        ("first frame", f"{max(received_at - started_wall, 0.0):.2f} s"),
        ("resolution", f"{frame.shape[1]}x{frame.shape[0]}"),
        ("source framerate", source),
        ("limited", limited),
        ("depayloader", facts.depayloader or "-"),
        ("decoder", facts.decoder or "unknown"),
        ("hardware decoding", hardware),
    ]
    for key, value in rows:
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
                    "resolution, age of the newest frame, halts, source framerate and decoder. "
                    "Without a URL it starts the built-in demo camera and watches that. "
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
                    "and the decoder.")
    probe.add_argument("url", metavar="URL")
    probe.add_argument("--timeout", type=_positive, default=15.0, metavar="S",
                       help="give up after S seconds (default 15)")
    _add_stream_options(probe)
    probe.set_defaults(handler=cmd_probe)

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
    except Exception as error:  # one line, not a traceback, unless debugging
        if getattr(args, "log_level", "off") == "debug":
            raise
        known = error.__class__.__module__.startswith("vantle")
        prefix = "" if known else f"{type(error).__name__}: "
        print(f"vantle {args.command}: error: {prefix}{error_text(error)}", file=sys.stderr)
        return 1
    finally:
        sys.stdout.flush()
