"""Awaiting a reader's frames from asyncio without blocking the event loop.

An awaiting coroutine registers a one-shot native wake-up with the reader: the streaming thread
calls ``loop.call_soon_threadsafe`` once, when a newer frame is stored or the reader closes. So
the loop does no work per frame while nobody awaits, and any number of readers share one loop.
Whether a frame is there and whether a reader is closed, the native reader says; this module only
awaits. vantle.live_feed publishes these functions as LiveFeed.next_frame_async, LiveFeed.frames
and aligned_async when it loads; asyncio is imported on first use, as most programs never await.
"""

from collections.abc import AsyncIterator, Coroutine, Iterable, Mapping
from typing import TYPE_CHECKING, Any, Optional

if TYPE_CHECKING:
    from vantle.live_feed import Frame, LiveFeed


class OneShotWake:
    """A future of the running loop that any thread completes once: ``from_thread`` is what a
    native thread calls, ``now`` what the loop itself calls (a timer)."""

    def __init__(self, loop):
        self.loop = loop
        self.woken = loop.create_future()

    def now(self):
        if not self.woken.done():
            self.woken.set_result(None)

    def from_thread(self):
        try:
            self.loop.call_soon_threadsafe(self.now)
        except RuntimeError:  # the loop closed meanwhile: nobody is waiting any more
            pass


async def _frame_or_timeout(watches, left):
    """Waits until one of ``watches`` ((reader, frame number) pairs) has a newer frame or closes,
    or ``left`` seconds passed (None: no limit). Wake-ups may be spurious: callers look again."""
    import asyncio

    loop = asyncio.get_running_loop()
    wake = OneShotWake(loop)
    tokens = [(feed, feed._watch_next_frame(after, wake.from_thread)) for feed, after in watches]
    timer = None if left is None else loop.call_later(left, wake.now)
    try:
        await wake.woken
    finally:
        for feed, token in tokens:
            feed._unwatch(token)
        if timer is not None:
            timer.cancel()


def _seconds_left(loop, deadline):
    return None if deadline is None else deadline - loop.time()


def next_frame_async(
    self: "LiveFeed", after: int = 0, timeout: Optional[float] = None
) -> Coroutine[Any, Any, "Frame | None"]:
    """Awaitable next_frame(), which never blocks the event loop: the newest Frame numbered above
    ``after``; None on timeout, and at once when the reader is closed."""
    return _next_frame(self, after, timeout)


async def _next_frame(self, after, timeout):
    import asyncio

    loop = asyncio.get_running_loop()
    deadline = None if timeout is None else loop.time() + max(timeout, 0.0)
    while True:
        frame = self.next_frame(after, timeout=0)
        if frame is not None or self._closing:
            return frame
        left = _seconds_left(loop, deadline)
        if left is not None and left <= 0:
            return None
        # A wake-up may be meant for the frame this call already saw (one stored just before the
        # watch was registered): the loop looks again rather than taking it for a newer frame.
        await _frame_or_timeout([(self, after)], left)


async def frames(self: "LiveFeed") -> AsyncIterator["Frame"]:
    """Async iterator over new frames: the newest one, then each newer one, until the reader
    closes."""
    after = 0
    while True:
        frame = await _next_frame(self, after, None)
        if frame is None:
            return
        after = frame.number
        yield frame


async def aligned_async(
    feeds: Iterable["LiveFeed"],
    tolerance: float = 0.02,
    timeout: float | None = 1.0,
    after: Mapping["LiveFeed", int] | None = None,
) -> "dict[LiveFeed, Frame] | None":
    """Awaitable aligned(), which never blocks the event loop: waits for new frames of any of the
    readers between looks."""
    import asyncio

    from vantle.live_feed import aligned

    feeds = list(feeds)
    loop = asyncio.get_running_loop()
    deadline = None if timeout is None else loop.time() + max(timeout, 0.0)
    while True:
        # Numbers first: a frame stored after them wakes the watch below at once.
        numbers = [feed.frame_number for feed in feeds]
        found = aligned(feeds, tolerance, 0, after)
        if found is not None:
            return found
        if any(feed._closing for feed in feeds):
            return None
        left = _seconds_left(loop, deadline)
        if left is not None and left <= 0:
            return None
        await _frame_or_timeout(list(zip(feeds, numbers)), left)


# LiveFeed's own methods: they say so, for help() and the stub generator.
for _method in (next_frame_async, frames):
    _method.__module__ = "vantle.live_feed"
