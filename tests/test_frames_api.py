"""Frame numbers, next_frame, wait_any and the asyncio surface, against real pipelines."""

import asyncio
import threading
import time

import numpy as np
import pytest

from vantle.live_feed import Frame, LiveFeed, wait_any

from tests.child import run_python
from tests.helpers import NEVER_PLAYS

# A few small frames, then end of stream: the reader rebuilds the pipeline again and again.
ENDS_OFTEN = ("videotestsrc is-live=true num-buffers=6 ! video/x-raw,width=64,height=48,framerate=30/1 ! "
              "identity name={url} ! videoconvert ! video/x-raw,format=BGR ! appsink name=main_sink sync=false")
TWO_FPS = ("videotestsrc is-live=true ! video/x-raw,width=64,height=48,framerate=2/1 ! identity name={url} ! "
           "videoconvert ! video/x-raw,format=BGR ! appsink name=main_sink sync=false")


def custom(pipeline_str, name="x"):
    return LiveFeed(name, runtime_options={}, pipeline_str=pipeline_str)


def test_frame_carries_number_time_and_the_latest_frame_array(rtsp_server):
    with LiveFeed(rtsp_server.url("/h264"), runtime_options={}) as feed:
        assert feed.frame_number == 0 and feed.next_frame(timeout=0) is None
        frame = feed.next_frame(timeout=10)
        assert isinstance(frame, Frame) and frame.number >= 1
        assert frame.image is frame.image
        assert frame.image.shape == (240, 320, 3) and frame.image.dtype == np.uint8
        assert not frame.image.flags.writeable
        first_age = frame.age
        time.sleep(0.05)
        assert frame.age >= first_age + 0.04 and abs(time.time() - frame.received_at - frame.age) < 0.01
        newer = feed.next_frame(frame.number, timeout=5)
        received_at, array = feed.latest_frame
        if feed.frame_number == newer.number:
            assert received_at == newer.received_at and np.array_equal(array, newer.image)
        assert newer.number > frame.number and feed.frame_number >= newer.number


@pytest.mark.usefixtures("short_timeouts")
def test_numbers_strictly_increase_across_rebuilds():
    with custom(ENDS_OFTEN) as feed:
        numbers = []
        deadline = time.monotonic() + 30
        while feed.stats()["rebuilds"] < 2 and time.monotonic() < deadline:
            frame = feed.next_frame(numbers[-1] if numbers else 0, timeout=5)
            if frame is not None:
                numbers.append(frame.number)
        assert feed.stats()["rebuilds"] >= 2, "the pipeline was not rebuilt"
        assert numbers == sorted(set(numbers))
        # Six frames per pipeline and at least two rebuilds: numbering went on past the first pipeline.
        assert numbers[-1] > 6


def test_next_frame_from_four_threads_sees_each_newest_frame_once(rtsp_server):
    with LiveFeed(rtsp_server.url("/h264"), runtime_options={}) as feed:
        seen = {index: [] for index in range(4)}
        lags = []

        def consume(index):
            last = 0
            end = time.monotonic() + 3
            while time.monotonic() < end:
                frame = feed.next_frame(last, timeout=5)
                assert frame is not None
                lags.append(feed.frame_number - frame.number)
                seen[index].append(frame.number)
                last = frame.number

        threads = [threading.Thread(target=consume, args=(index,)) for index in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(15)
        assert not any(thread.is_alive() for thread in threads)
        for numbers in seen.values():
            assert len(numbers) >= 30  # 20 fps for 3 s
            assert all(b > a for a, b in zip(numbers, numbers[1:])), "a duplicate or an older frame"
        # Each call returned the newest frame: at most a frame arrived between the return and the look.
        assert max(lags) <= 1


def test_wait_any_wakes_for_the_reader_that_got_a_frame():
    quiet = [custom(NEVER_PLAYS, f"quiet-{index}") for index in range(7)]
    live = custom(TWO_FPS, "live")
    readers = quiet + [live]
    try:
        assert live.next_frame(timeout=10) is not None
        for _ in range(3):
            pending = {reader: reader.frame_number for reader in readers}
            assert wait_any(pending, timeout=5) == [live]
        # A number the reader is already past returns at once; nothing new times out with [].
        assert wait_any({live: live.frame_number - 1, quiet[0]: 0}, timeout=5) == [live]
        started = time.monotonic()
        assert wait_any({reader: 0 for reader in quiet}, timeout=0.3) == []
        assert 0.25 <= time.monotonic() - started < 3
        # Closing wakes waiters: a wait over closed readers ends at once with [].
        waiting = threading.Thread(target=lambda: wait_any({quiet[0]: 0}))
        waiting.start()
        quiet[0].close()
        waiting.join(5)
        assert not waiting.is_alive()
        assert quiet[0].next_frame(timeout=30) is None
    finally:
        for reader in readers:
            reader.close()
        for reader in readers:
            reader.wait_until_closed()


def test_wait_any_rejects_other_keys():
    with pytest.raises(TypeError):
        wait_any({"not a reader": 0}, timeout=0)


def test_asyncio_eight_readers_in_one_loop(rtsp_server):
    readers = [LiveFeed(rtsp_server.url("/h264"), runtime_options={}) for _ in range(8)]
    quiet = custom(NEVER_PLAYS, "quiet")

    async def main():
        gaps = []
        stop = asyncio.Event()

        async def ticker():
            last = time.perf_counter()
            while not stop.is_set():
                await asyncio.sleep(0.001)
                now = time.perf_counter()
                gaps.append(now - last)
                last = now

        async def count(feed):
            numbers = []
            async for frame in feed.frames():
                numbers.append(frame.number)
                if stop.is_set():
                    break
            return numbers

        tick = asyncio.create_task(ticker())
        counters = [asyncio.create_task(count(feed)) for feed in readers]
        assert await quiet.next_frame_async(timeout=0.2) is None
        await asyncio.sleep(4)
        stop.set()
        results = await asyncio.wait_for(asyncio.gather(*counters), 10)
        await tick
        return results, gaps

    try:
        results, gaps = asyncio.run(main())
    finally:
        for feed in readers + [quiet]:
            feed.close()
        for feed in readers + [quiet]:
            feed.wait_until_closed()
    for numbers in results:
        assert len(numbers) >= 30, numbers  # about 20 fps for 4 s each
        assert all(b > a for a, b in zip(numbers, numbers[1:]))
    print(f"longest loop block with 8 readers: {max(gaps) * 1000:.1f} ms over {len(gaps)} ticks")
    assert max(gaps) < 0.5


def test_frames_ends_when_the_reader_closes(rtsp_server):
    feed = LiveFeed(rtsp_server.url("/h264"), runtime_options={})

    async def main():
        received = 0
        async for _frame in feed.frames():
            received += 1
            if received == 3:
                feed.close()
        return received

    try:
        assert asyncio.run(asyncio.wait_for(main(), 20)) >= 3
    finally:
        feed.close()
        feed.wait_until_closed()


@pytest.mark.parametrize("call", ["feed.next_frame()", "wait_any({feed: 0})"])
def test_ctrl_c_ends_a_wait_on_the_main_thread(call):
    code = f"""
import os, signal, threading
from vantle import loop_host
from vantle.live_feed import LiveFeed, wait_any
loop_host.start()
feed = LiveFeed("x", runtime_options={{}}, pipeline_str={NEVER_PLAYS!r})
threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
try:
    {call}
except KeyboardInterrupt:
    print("interrupted")
feed.close()
feed.wait_until_closed()
"""
    result = run_python(code, timeout=30)
    assert (result.returncode, result.stdout) == (0, "interrupted\n"), result.stderr
