"""What waiting for frames costs: stats() per call, the event loop's longest block with readers
awaited from asyncio, and the CPU of a frame wake with and without an awaiting coroutine.

    python bench/frame_waits.py [--readers 8] [--seconds 10]

Runs against the test RTSP server (tests/streams, 320x240 H.264 at 25 fps, limited to 20).
Each phase runs a 1 ms asyncio ticker and reports the longest gap between ticks and the 99th
percentile; process CPU (user + system) is divided by the frames the readers stored.
"""

import argparse
import asyncio
import os
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from tests.streams import RtspServer  # noqa: E402
from vantle import loop_host  # noqa: E402
from vantle.live_feed import LiveFeed  # noqa: E402


def cpu_seconds():
    times = os.times()
    return times.user + times.system


async def ticker(stop, gaps):
    last = time.perf_counter()
    while not stop.is_set():
        await asyncio.sleep(0.001)
        now = time.perf_counter()
        gaps.append(now - last)
        last = now


async def phase(feeds, seconds, awaited):
    """(gaps, cpu seconds, frames stored, wake latencies) over ``seconds``."""
    stop = asyncio.Event()
    gaps, latencies = [], []

    async def consume(feed):
        async for frame in feed.frames():
            latencies.append(time.time() - frame.received_at)
            if stop.is_set():
                return

    tasks = [asyncio.create_task(consume(feed)) for feed in feeds] if awaited else []
    tick = asyncio.create_task(ticker(stop, gaps))
    numbers = [feed.frame_number for feed in feeds]
    cpu = cpu_seconds()
    await asyncio.sleep(seconds)
    cpu = cpu_seconds() - cpu
    frames = sum(feed.frame_number - n for feed, n in zip(feeds, numbers))
    stop.set()
    await asyncio.gather(tick, *tasks)
    return gaps, cpu, frames, latencies


def describe(name, gaps, cpu, frames, seconds, latencies):
    gaps_ms = sorted(g * 1000 for g in gaps)
    p99 = gaps_ms[int(len(gaps_ms) * 0.99)] if gaps_ms else float("nan")
    line = (f"{name:<28} ticks {len(gaps):6d}  longest gap {max(gaps_ms):6.1f} ms  p99 {p99:5.2f} ms  "
            f"cpu {cpu / seconds * 100:5.1f} %  frames {frames:5d}")
    if frames:
        line += f"  cpu/frame {cpu / frames * 1e6:7.0f} us"
    if latencies:
        latencies = sorted(latencies)
        line += (f"  receive->coroutine p50 {statistics.median(latencies) * 1000:.2f} ms "
                 f"p99 {latencies[int(len(latencies) * 0.99)] * 1000:.2f} ms")
    print(line, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--readers", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()
    loop_host.start()

    with RtspServer() as server:
        feeds = [LiveFeed(server.url("/h264"), runtime_options={}) for _ in range(args.readers)]
        try:
            for feed in feeds:
                if feed.next_frame(timeout=20) is None:
                    raise SystemExit("a reader got no frame")

            calls = 200_000
            started = time.perf_counter()
            for _ in range(calls):
                feeds[0].stats()
            per_call = (time.perf_counter() - started) / calls * 1e6
            started = time.perf_counter()
            for _ in range(calls):
                feeds[0].frame_number
            number_call = (time.perf_counter() - started) / calls * 1e6
            print(f"stats(): {per_call:.2f} us per call (frame_number: {number_call:.3f} us)", flush=True)

            async def run():
                for name, awaited in (("readers open, none awaited", False), ("every reader awaited", True),
                                      ("readers open, none awaited", False), ("every reader awaited", True)):
                    gaps, cpu, frames, latencies = await phase(feeds, args.seconds, awaited)
                    describe(name, gaps, cpu, frames, args.seconds, latencies)

            asyncio.run(run())
        finally:
            for feed in feeds:
                feed.close()
            for feed in feeds:
                feed.wait_until_closed()


if __name__ == "__main__":
    main()
