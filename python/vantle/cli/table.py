"""``vantle watch``: one row per stream, from each reader's stats() and frame numbers."""

import shutil
import sys
import time

from vantle._frame_rate import FrameRate
from vantle.cli import facts
from vantle.cli.common import redact

TTY_INTERVAL = 0.5
PLAIN_INTERVAL = 1.0


class WatchedStream:
    """One reader and its latest stats, taken at each refresh (no thread, no per-frame work)."""

    def __init__(self, index, url, feed):
        self.index = index
        self.shown_url = redact(url)
        self.feed = feed
        self.stats = feed.stats()
        self._rate = FrameRate()
        self.fps = None  # delivered frames per second at the last refresh; None until measurable
        self._first_seen = None  # (wall time of the newest frame, its number) at the first refresh with one

    @property
    def name(self):
        return f"stream-{self.index}"

    @property
    def frames(self):
        return self.stats["frame_number"]

    @property
    def status(self):
        return self.stats["status"]

    def refresh(self):
        # Only the stats: reading the frame would convert one that nobody looks at.
        self.stats = self.feed.stats()
        self.fps = self._rate.update(self.stats)
        if self._first_seen is None and self.stats["age"] is not None:
            self._first_seen = (time.time() - self.stats["age"], self.frames)

    def average_fps(self):
        age = self.stats["age"]
        if self._first_seen is None or age is None:
            return 0.0
        first_at, first_number = self._first_seen
        span = time.time() - age - first_at
        return (self.frames - first_number) / span if span > 0 else 0.0

    def size_text(self):
        return facts.size_text(self.stats)

    def age_text(self):
        age = self.stats["age"]
        if age is None:
            return "-"
        return f"{age:.2f}s" if age < 10 else f"{age:.0f}s"

    def fps_text(self):
        return "-" if self.fps is None else f"{self.fps:.1f}"

    @property
    def last_error(self):
        return self.stats["last_error"]

    def failing_for(self):
        """Seconds since the current failure began, when the reader says (None otherwise)."""
        since = self.stats.get("failing_since")
        return None if since is None else max(time.time() - since, 0.0)

    def cause(self):
        """The root cause of the current failure; None while the stream is well."""
        if self.status == "streaming" and self.failing_for() is None:
            return None
        return self.last_error


def failure_text(stream, next_try=True):
    """How long a stream has failed, when it is tried again and the failure's root cause; "" when
    it is not failing."""
    failing = stream.failing_for()
    parts = []
    if failing is not None:
        parts.append(f"failing for {facts.duration_text(failing)}")
    retry = stream.stats.get("next_retry_in")
    if retry is not None and next_try:
        parts.append(f"next try in {retry:.1f}s")
    cause = stream.cause()
    if cause:
        parts.append(f"cause: {cause}")
    return " ".join(", ".join(parts).split())  # one line: GStreamer's debug detail has line breaks


class TableDisplay:
    """A table redrawn in place on a terminal."""

    COLUMNS = "{:<3} {:<12} {:>5}  {:<9} {:>6} {:>6} {:>5} {:>8} {:>6}  {:<11} {:<22} {}"

    def __init__(self, console):
        self.console = console
        self.drawn = 0
        sys.stdout.write("\x1b[?25l")  # hide the cursor while redrawing

    def refresh(self, streams, elapsed):
        width = max(shutil.get_terminal_size((120, 24)).columns - 1, 20)
        lines = [f"vantle watch  {len(streams)} stream(s)  {elapsed:6.1f}s   Ctrl-C to stop",
                 self.COLUMNS.format("#", "STATUS", "FPS", "SIZE", "AGE", "DELAY", "HALTS", "REBUILDS", "DROPS", "SOURCE",
                                     "DECODER", "URL")]
        for stream in streams:
            lines.append(self.COLUMNS.format(
                stream.index, stream.status, stream.fps_text(), stream.size_text(), stream.age_text(), facts.delay_text(stream.stats),
                stream.stats["halts"], stream.stats["rebuilds"], stream.stats["frames_dropped"],
                facts.source_text(stream.stats), facts.decoder_text(stream.stats), stream.shown_url))
            failure = failure_text(stream)
            if failure:
                lines.append(f"    {failure}")
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

    def refresh(self, streams, elapsed):
        for stream in streams:
            stats = stream.stats
            line = (f"t={elapsed:.1f} {stream.name} status={stream.status} fps={stream.fps_text()} "
                    f"size={stream.size_text()} age={stream.age_text()} delay={facts.delay_text(stats)} halts={stats['halts']} "
                    f"rebuilds={stats['rebuilds']} dropped={stats['frames_dropped']} "
                    f"source={facts.source_text(stats)} decoder={stats['decoder'] or '-'} url={stream.shown_url}")
            failing = stream.failing_for()
            if failing is not None:
                line += f" failing={failing:.1f}s"
            if stats.get("next_retry_in") is not None:
                line += f" next_try={stats['next_retry_in']:.1f}s"
            if stream.cause():
                line += f" last_error={stream.cause()!r}"
            print(line)
        sys.stdout.flush()

    def close(self):
        pass


def summary_line(stream):
    stats = stream.stats
    return (f"summary {stream.name} frames={stream.frames} fps={stream.average_fps():.1f} "
            f"size={stream.size_text()} halts={stats['halts']} rebuilds={stats['rebuilds']} "
            f"dropped={stats['frames_dropped']} "
            f"status={stream.status} decoder={stats['decoder'] or '-'} decoding={facts.decoding_text(stats)} "
            f"source={facts.source_text(stats)} limited={facts.limited_text(stats)} url={stream.shown_url}")


def watch_loop(streams, seconds, stop, display):
    """Refreshes ``display`` until ``seconds`` passed or a stop was requested."""
    interval = PLAIN_INTERVAL if isinstance(display, PlainDisplay) else TTY_INTERVAL
    start = time.monotonic()
    deadline = None if seconds is None else start + seconds
    last = start

    def refresh(now):
        for stream in streams:
            stream.refresh()
        display.refresh(streams, now - start)

    try:
        while True:
            next_refresh = last + interval
            wake = next_refresh if deadline is None else min(next_refresh, deadline)
            if stop.sleep(wake - time.monotonic()):
                break
            now = time.monotonic()
            if now >= next_refresh - 1e-3:
                refresh(now)
                last = now
            if deadline is not None and now >= deadline:
                break
        now = time.monotonic()
        if now - last >= interval / 2:  # the stretch since the last refresh, when it is worth one
            refresh(now)
        else:
            for stream in streams:
                stream.refresh()
    finally:
        display.close()
