"""Awaiting a clip from asyncio without blocking the event loop: the writing thread wakes the
loop once, through ``loop.call_soon_threadsafe``, when the clip is done."""

import asyncio


async def wait_async(clip):
    """The clip once written; raises ClipError when writing failed."""
    if not clip.done:
        loop = asyncio.get_running_loop()
        done = loop.create_future()

        def wake():
            if not done.done():
                done.set_result(None)

        def wake_from_writer():
            try:
                loop.call_soon_threadsafe(wake)
            except RuntimeError:  # the loop closed meanwhile: nobody is waiting any more
                pass

        clip._when_done(wake_from_writer)
        await done
    return clip.wait(timeout=0)
