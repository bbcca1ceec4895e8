#!/usr/bin/env python3
"""Rebuild LiveFeed pipelines many times and check that memory, descriptors and threads stay flat.

    .venv/bin/python scripts/soak.py                      # 200 rebuilds of a custom pipeline
    .venv/bin/python scripts/soak.py --source rtsp-ends   # the /ends RTSP mount (about 2 s each)
    .venv/bin/python scripts/soak.py --source refused     # RTSP to a closed port

Each source ends or fails quickly, and the supervision thread rebuilds its pipeline; rebuilds
are counted from the readers' stats(). Resident memory, open
file descriptors and thread count are sampled after a warm-up and again at the end (each the
least seen right after a few consecutive rebuilds, with the readers still open); the exit status
is 1 when any grew beyond its tolerance.
"""

import argparse
import gc
import logging
import os
import socket
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from vantle import loop_host  # noqa: E402

loop_host.start()

import vantle.live_feed as live_feed  # noqa: E402
from vantle.live_feed import LiveFeed  # noqa: E402

# Non-live, five frames, then end of stream.
SHORT = ("videotestsrc num-buffers=5 ! video/x-raw,width=64,height=48,framerate=25/1 ! identity name={url} ! "
         "videoconvert ! video/x-raw,format=BGR ! appsink name=main_sink")


class RebuildCounter:
    """The readers' rebuilds as their stats() count them."""

    def __init__(self):
        self.feeds = []

    @property
    def count(self):
        return sum(feed.stats()["rebuilds"] for feed in self.feeds)

    def wait_for(self, count, timeout):
        deadline = time.monotonic() + timeout
        while self.count < count:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.005)
        return True


class OtherErrors(logging.Handler):
    """Error records other than the rebuilds and start timeouts that the soak provokes."""

    def __init__(self):
        super().__init__(logging.ERROR)
        self.messages = []

    def emit(self, record):
        message = record.getMessage()
        if message != "Pipeline state is null. Restarting..." and "start playing before timeout" not in message:
            self.messages.append(message)


def sample():
    fields = {}
    with open("/proc/self/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            fields[key] = value.split()
    return {
        "rss_kib": int(fields["VmRSS"][0]),
        "fds": len(os.listdir("/proc/self/fd")),
        "threads": int(fields["Threads"][0]),
    }


def wait_for_rebuild(counter, timeout):
    last = counter.count
    if not counter.wait_for(last + 1, timeout):
        sys.exit(f"soak: no rebuild for {timeout} s after {last} rebuilds")


def settled_sample(counter, rebuilds, timeout):
    """Per figure, the least seen right after each of the next `rebuilds` rebuilds: a pipeline
    being set up or torn down holds extra threads, descriptors and buffers only for a moment."""
    gc.collect()
    samples = []
    for _ in range(rebuilds):
        wait_for_rebuild(counter, timeout)
        samples.append(sample())
    return {key: min(s[key] for s in samples) for key in samples[0]}


def refused_url():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    return f"rtsp://127.0.0.1:{port}/nothing"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--source", choices=["custom", "rtsp-ends", "refused"], default="custom")
    parser.add_argument("--rebuilds", type=int, default=200, help="rebuilds measured after the warm-up")
    parser.add_argument("--warmup", type=int, default=10, help="rebuilds before the first sample")
    parser.add_argument("--readers", type=int, default=0, help="readers at once (default: 4 for rtsp-ends, else 1)")
    parser.add_argument("--state-change-timeout", type=float, default=0.3,
                        help="seconds; the supervision thread waits this long after each rebuild")
    parser.add_argument("--rss-tolerance-mib", type=float, default=12.0)
    parser.add_argument("--fd-tolerance", type=int, default=4)
    parser.add_argument("--thread-tolerance", type=int, default=4)
    parser.add_argument("--window", type=int, default=5, help="rebuilds each of the two samples spans")
    parser.add_argument("--every", type=int, default=0, help="also print a sample every this many rebuilds")
    args = parser.parse_args(argv)
    readers = args.readers or (4 if args.source == "rtsp-ends" else 1)

    counter, other_errors = RebuildCounter(), OtherErrors()
    streaming_logger = logging.getLogger("qv_streaming")
    streaming_logger.addHandler(other_errors)
    streaming_logger.propagate = False
    live_feed._STATE_CHANGE_TIMEOUT = args.state_change_timeout
    live_feed._FRAME_TIMEOUT = 5

    server = None
    if args.source == "rtsp-ends":
        from tests.streams import RtspServer

        server = RtspServer().start()
        urls = [server.url("/ends")] * readers
        options = {"latency": 0}
    elif args.source == "refused":
        urls = [refused_url() for _ in range(readers)]
        options = {"latency": 0}
    else:
        urls = [f"soak://reader{i}" for i in range(readers)]
        options = {"pipeline_str": SHORT}

    baseline = sample()
    started = time.monotonic()
    feeds = counter.feeds = [LiveFeed(url, runtime_options={}, **options) for url in urls]
    try:
        per_rebuild_timeout = 30 if args.source == "rtsp-ends" else 10
        if not counter.wait_for(args.warmup, per_rebuild_timeout * args.warmup):
            sys.exit(f"soak: only {counter.count} rebuilds during the warm-up")
        rebuilds_before = counter.count
        before = settled_sample(counter, args.window, per_rebuild_timeout)
        while counter.count < rebuilds_before + args.rebuilds - args.window:
            last = counter.count
            wait_for_rebuild(counter, per_rebuild_timeout)
            if args.every and counter.count // args.every > last // args.every:
                print(f"after {counter.count:5} rebuilds: {sample()}", flush=True)
        after = settled_sample(counter, args.window, per_rebuild_timeout)
        rebuilds_after = counter.count
    finally:
        for feed in feeds:
            feed.close()
        for feed in feeds:
            feed.wait_until_closed()
        if server is not None:
            server.stop()
    elapsed = time.monotonic() - started
    time.sleep(1)  # pipelines are brought to NULL on GStreamer's worker threads
    gc.collect()
    closed = sample()

    frames = sum(feed.latest_frame is not None for feed in feeds)
    print(f"source {args.source}, {readers} reader(s), {rebuilds_after} rebuilds in {elapsed:.1f} s "
          f"({rebuilds_after - rebuilds_before} measured), readers with a frame: {frames}/{readers}")
    print(f"{'':10}{'no reader':>12}{'warm-up':>12}{'end':>12}{'growth':>12}{'closed':>12}")
    growth = {key: after[key] - before[key] for key in before}
    for key, label in (("rss_kib", "RSS KiB"), ("fds", "fds"), ("threads", "threads")):
        print(f"{label:10}{baseline[key]:>12}{before[key]:>12}{after[key]:>12}{growth[key]:>+12}{closed[key]:>12}")
    if other_errors.messages:
        print(f"other error records: {len(other_errors.messages)}, first: {other_errors.messages[0]!r}")

    failures = []
    if growth["rss_kib"] > args.rss_tolerance_mib * 1024:
        failures.append(f"resident memory grew by {growth['rss_kib']} KiB")
    if growth["fds"] > args.fd_tolerance:
        failures.append(f"open file descriptors grew by {growth['fds']}")
    if growth["threads"] > args.thread_tolerance:
        failures.append(f"threads grew by {growth['threads']}")
    for failure in failures:
        print("FAIL:", failure)
    print("OK" if not failures else "FAILED")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
