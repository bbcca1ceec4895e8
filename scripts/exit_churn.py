#!/usr/bin/env python3
"""Exit many processes that hold 24 readers each (eight streaming, eight failing, eight just
opened) and count the exits that were not clean (a status other than 0, or anything on stderr).

    .venv/bin/python scripts/exit_churn.py                 # 300 exits, two at a time
    .venv/bin/python scripts/exit_churn.py --exits 1000 --parallel 4

Prints one JSON line: exits, unclean exits, and the time from the child's last reader opened to
the end of its process (median, 95th percentile, worst); the exit status is 1 when any exit was
not clean, and the first few such stderr texts are printed.
"""

import argparse
import json
import statistics
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from tests.exit_churn import run_exits, stream_urls  # noqa: E402
from tests.streams import FaultServer, HttpServer, RtspServer  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exits", type=int, default=300)
    parser.add_argument("--parallel", type=int, default=2)
    args = parser.parse_args()
    with RtspServer() as rtsp, HttpServer() as http, FaultServer("silent") as silent, \
            FaultServer("rtsp-unauthorized") as unauthorized:
        outcome = run_exits(stream_urls(rtsp, http, silent, unauthorized), args.exits, args.parallel)
    times = sorted(outcome.exit_seconds)
    print(json.dumps({
        "exits": outcome.exits,
        "unclean": len(outcome.unclean),
        "exit_s_median": round(statistics.median(times), 3) if times else None,
        "exit_s_p95": round(times[int(0.95 * (len(times) - 1))], 3) if times else None,
        "exit_s_worst": round(times[-1], 3) if times else None,
    }))
    for status, stderr in outcome.unclean[:5]:
        print(f"--- status {status}\n{stderr}", file=sys.stderr)
    return 1 if outcome.unclean else 0


if __name__ == "__main__":
    sys.exit(main())
