"""What every command shares: one-line errors, opening readers, stop signals and the log console."""

import logging
import sys
import threading
import time
from collections import deque

from vantle.logger import redact_text

ROOT_LOGGER = "qv_streaming"
DEFAULT_LATENCY = 200  # ms of jitter buffer: snappier than the library's 2000 for a live view
MAX_LATENCY = 30000
LOG_LEVELS = ("debug", "info", "warning", "error", "critical", "off")


class CommandError(Exception):
    """A failure reported as one line, without a traceback."""


def last_line(text):
    lines = [line.strip() for line in str(text).splitlines() if line.strip()]
    return lines[-1] if lines else ""


def redact(text):
    """``text`` with the password of every URL in it shown as '***'."""
    return redact_text(str(text))


def error_text(error):
    """One line for an exception, with any URL password hidden."""
    return redact(last_line(str(error)) or type(error).__name__)


def about(url, error):
    """The error's line, led by the (redacted) URL unless it already names it."""
    text, shown = error_text(error), redact(url)
    return text if shown in text else f"{shown}: {text}"


def feed_errors():
    from vantle.feed_contract import InvalidRuntimeOptionError, StreamReadError, StreamSetupError

    return (StreamSetupError, StreamReadError, InvalidRuntimeOptionError)


def open_feed(url, args):
    """A reader for ``url`` with the command line's stream options; CommandError when it cannot open."""
    from vantle.live_feed import LiveFeed

    # The page's clip button saves the last few seconds of a URL stream's own video.
    keep_encoded = None
    if getattr(args, "web", False) and not args.pipeline:
        from vantle.web.clips import DEFAULT_SECONDS as keep_encoded
    try:
        return LiveFeed(
            url,
            latency=args.latency,
            runtime_options={"keyframes_only": bool(getattr(args, "keyframes_only", False))},
            pipeline_str=args.pipeline,
            proxied=args.tcp,
            keep_encoded=keep_encoded,
        )
    except feed_errors() as error:
        raise CommandError(about(url, error)) from None


def close_feeds(feeds):
    for feed in feeds:
        feed.close()
    for feed in feeds:
        feed.wait_until_closed()


class StopSignals:
    """While active, SIGINT and SIGTERM only set ``requested``, so shutdown runs to the end."""

    def __init__(self):
        self.requested = threading.Event()
        self._previous = {}

    def __enter__(self):
        import signal

        if threading.current_thread() is threading.main_thread():
            for sig in (signal.SIGINT, signal.SIGTERM):
                self._previous[sig] = signal.signal(sig, self._handle)
        return self

    def _handle(self, _signum, _frame):
        self.requested.set()

    def __exit__(self, *exc):
        import signal

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
    """Shows the reader's log lines at ``level_name`` and above on stderr; returns the console
    handler (None for "off")."""
    root = logging.getLogger(ROOT_LOGGER)
    # Our handler shows what should be shown; nothing goes on to Python's last-resort handler.
    root.propagate = False
    if level_name == "off":
        root.setLevel(logging.CRITICAL)
        return None
    level = getattr(logging, level_name.upper())
    console = ConsoleLog(level, hold=hold)
    root.addHandler(console)
    root.setLevel(level)
    return console
