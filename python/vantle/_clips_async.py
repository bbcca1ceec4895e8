"""Awaiting a clip from asyncio without blocking the event loop: the writing thread wakes the
loop once, through ``loop.call_soon_threadsafe``, when the clip is done."""

import asyncio

from vantle._frames_async import OneShotWake


async def wait_async(clip):
    """The clip once written; raises ClipError when writing failed."""
    if not clip.done:
        wake = OneShotWake(asyncio.get_running_loop())
        clip._when_done(wake.from_thread)
        await wake.woken
    return clip.wait(timeout=0)
