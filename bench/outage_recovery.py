"""How soon a reader at its default settings streams again after its camera comes back.

For each outage length, an RTSP and an HTTP test camera (tests/streams) are killed together,
left down for the outage, and started again on the same ports; the figure is the time from the
moment each camera listens again to the reader's first frame from it.

    .venv/bin/python bench/outage_recovery.py                       # 5 s and 60 s x 5, 10 min x 1
    .venv/bin/python bench/outage_recovery.py --outages 5 --repeats 3
"""

import argparse
import json
import logging
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from vantle import loop_host  # noqa: E402

loop_host.start()

from vantle.live_feed import LiveFeed  # noqa: E402

from tests.streams import HttpServer, RtspServer  # noqa: E402

CAMERAS = {"rtsp": (RtspServer, "/h264"), "http": (HttpServer, "/live.ts")}


def one_outage(servers, feeds, outage, timeout=60.0):
    """Kills every camera, waits `outage` seconds, restarts them; returns {kind: recovery s}."""
    for server in servers.values():
        server.proc.kill()
        server.stop()
    time.sleep(outage)
    numbers, back = {}, {}
    for kind, server in servers.items():
        numbers[kind] = feeds[kind].frame_number
        server.start()
        back[kind] = time.monotonic()
    recovery = {}
    deadline = time.monotonic() + timeout
    while len(recovery) < len(feeds) and time.monotonic() < deadline:
        for kind, feed in feeds.items():
            if kind not in recovery and feed.frame_number > numbers[kind]:
                recovery[kind] = time.monotonic() - back[kind]
        time.sleep(0.01)
    return {kind: recovery.get(kind) for kind in feeds}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--outages", type=float, nargs="+", default=[5, 60, 600])
    parser.add_argument("--repeats", type=int, default=5, help="repetitions of outages under 10 minutes")
    parser.add_argument("--out", type=Path, default=ROOT / "bench" / "results" / "outage_recovery.json")
    args = parser.parse_args(argv)
    # Every retry logs its refused connection; the figures are what this script is for.
    logging.getLogger("qv_streaming").addHandler(logging.NullHandler())
    logging.getLogger("qv_streaming").propagate = False

    servers = {kind: server_type(lifetime=24 * 3600) for kind, (server_type, _) in CAMERAS.items()}
    for server in servers.values():
        server.start()
    feeds = {kind: LiveFeed(servers[kind].url(path), runtime_options={}) for kind, (_, path) in CAMERAS.items()}
    results = []
    try:
        for feed in feeds.values():
            if feed.next_frame(timeout=30) is None:
                sys.exit(f"no first frame from {feed!r}")
        for outage in args.outages:
            samples = {kind: [] for kind in feeds}
            for _ in range(args.repeats if outage < 600 else 1):
                for kind, seconds in one_outage(servers, feeds, outage).items():
                    samples[kind].append(seconds)
                time.sleep(2)
            for kind, values in samples.items():
                found = [v for v in values if v is not None]
                row = {"kind": kind, "outage_s": outage, "runs": len(values), "missed": len(values) - len(found),
                       "median_s": round(statistics.median(found), 2) if found else None,
                       "worst_s": round(max(found), 2) if found else None,
                       "rebuilds": feeds[kind].stats()["rebuilds"], "halts": feeds[kind].stats()["halts"]}
                results.append(row)
                print(json.dumps(row), flush=True)
    finally:
        for feed in feeds.values():
            feed.wait_until_closed()
        for server in servers.values():
            server.stop()
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps({"date": time.strftime("%Y-%m-%d"), "results": results}, indent=2) + "\n")


if __name__ == "__main__":
    main()
