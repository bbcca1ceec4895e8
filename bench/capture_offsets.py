"""How close Frame.captured_at comes to the time the camera painted into the picture, and how far
the stream delays of three cameras held back by 0, 150 and 400 ms lie apart.

    python bench/capture_offsets.py              # 200 frames per transport: under a minute
    python bench/capture_offsets.py --frames 500

Prints per transport (UDP, TCP) the p50/p95/max of |captured_at - painted| in milliseconds and
how long after the first frame the first capture time came; then each clock camera's
capture_offset_ms (median receive minus capture time over the last second) and the spread of
capture times in sets that aligned() returned.
"""

import argparse
import os
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from vantle import loop_host  # noqa: E402

loop_host.start()

from vantle.live_feed import LiveFeed, aligned  # noqa: E402

from tests.streams import RtspServer  # noqa: E402
from tests.streams.clock_camera import MOUNTS, read_painted  # noqa: E402


def accuracy(url, tcp, frames):
    errors, first, stamped, after = [], None, None, 0
    with LiveFeed(url, runtime_options={}, proxied=tcp) as feed:
        while len(errors) < frames:
            frame = feed.next_frame(after, timeout=10)
            if frame is None:
                raise SystemExit(f"no frame from {url} in 10 s")
            after = frame.number
            first = first or frame.received_at
            if frame.captured_at is None:
                continue
            stamped = stamped or frame.received_at
            painted = read_painted(frame.image)
            if painted is not None:
                errors.append(abs(frame.captured_at - painted) * 1000)
    errors = np.array(errors)
    print(f"{'tcp' if tcp else 'udp'}: |captured_at - painted| p50 {np.median(errors):.4f} ms, "
          f"p95 {np.percentile(errors, 95):.4f} ms, max {errors.max():.4f} ms over {len(errors)} frames; "
          f"first capture time {stamped - first:.2f} s after the first frame")


def delays(server, sets):
    feeds = [LiveFeed(server.url(path), runtime_options={}, history=20) for path in MOUNTS]
    try:
        for feed in feeds:
            feed.next_frame(timeout=15)
        time.sleep(4)
        for path, feed in zip(MOUNTS, feeds):
            print(f"{path}: held back {MOUNTS[path]} ms, capture_offset_ms {feed.stats()['capture_offset_ms']:.1f}")
        spreads, after = [], None
        for _ in range(sets):
            found = aligned(feeds, tolerance=0.05, timeout=5, after=after)
            if found is None:
                continue
            captured = [frame.captured_at for frame in found.values()]
            spreads.append((max(captured) - min(captured)) * 1000)
            after = {feed: frame.number for feed, frame in found.items()}
        spreads = np.array(spreads)
        print(f"aligned sets: {len(spreads)} of {sets}, capture-time spread p50 {np.median(spreads):.1f} ms, "
              f"max {spreads.max():.1f} ms")
    finally:
        for feed in feeds:
            feed.close()
        for feed in feeds:
            feed.wait_until_closed()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=200)
    parser.add_argument("--sets", type=int, default=40)
    args = parser.parse_args()
    with RtspServer() as server:
        for tcp in (False, True):
            accuracy(server.url("/clock"), tcp, args.frames)
        delays(server, args.sets)


if __name__ == "__main__":
    main()
