"""One measurement: one reader on N streams, in a fresh process.

    python bench/run_one.py --reader opencv --url rtsp://127.0.0.1:PORT --streams 4 \
        --times-file /tmp/t.f64 --clip-len 120 --consume 5 --out result.json

--consume all: the consumer takes every frame; --consume R: about R frames
per second per stream (the reader still pulls every frame from the stream).

Phases, all in this process:
  calibrate  the pure-Python busy loop alone (before any stream is opened):
             its iterations per second on this machine right now
  open       time from starting the reader until every stream has delivered
             a frame (bounded by --open-timeout)
  warm-up    --warmup seconds, not measured
  quiet      --quiet seconds; the main thread sleeps. Frames per stream per
             second, process CPU per delivered frame and per second, latency
  busy       --busy seconds; the main thread runs the busy loop. Frames per
             stream per second, latency, the main thread's share of time
             blocked (waiting for the GIL), from its schedstat

Writes one JSON object to --out. The process ends itself (a watchdog bounds
it) and leaves with os._exit so that no library teardown can hang it.
"""

import argparse
import json
import math
import os
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from readers import READERS, Skip  # noqa: E402
from frame_code import decode_index  # noqa: E402

MAX_RECORDS = 200_000


class Collector:
    """Receives every frame that reaches Python and timestamps it."""

    def __init__(self, streams, times, rate=None):
        self.times = times
        # Seconds between the frames the consumer takes from one stream; None: every frame.
        self.period = 1.0 / rate if rate else None
        self.next_due = [0.0] * streams
        self.counts = [0] * streams
        self.first = [None] * streams
        self.bad = [0] * streams
        self.first_index = [None] * streams
        # per stream: (delivered_at, latency_s, native_latency_s)
        self.records = [[] for _ in range(streams)]

    def due(self, stream):
        """Whether the consumer takes the frame of ``stream`` at hand (called once per frame)."""
        if self.period is None:
            return True
        now = time.monotonic()
        if now < self.next_due[stream]:
            return False
        # On schedule keeps the average rate; after a gap the schedule restarts from now.
        due = self.next_due[stream] + self.period
        self.next_due[stream] = due if due > now else now + self.period
        return True

    def deliver(self, stream, frame, native_time):
        now = time.time()
        index = decode_index(frame)
        self.counts[stream] += 1
        if self.first[stream] is None:
            self.first_index[stream] = index
            self.first[stream] = now
        if not 0 <= index < self.times.shape[1]:  # unreadable, or a code outside the clip
            self.bad[stream] += 1
            return
        sent = float(self.times[stream, index])
        if sent <= 0.0:
            self.bad[stream] += 1
            return
        native = (native_time - sent) if native_time is not None else math.nan
        rec = self.records[stream]
        if len(rec) < MAX_RECORDS:
            rec.append((now, now - sent, native))


def busy_loop(seconds):
    """Pure-Python work for ``seconds``; returns iterations done."""
    until = time.perf_counter() + seconds
    n = 0
    x = 1
    while n < 10**12:
        for i in range(2000):
            x = (x * 1103515245 + i) & 0xFFFFFFFF
        n += 2000
        if time.perf_counter() >= until:
            break
    return n


def schedstat(tid):
    """(on-CPU ns, run-queue wait ns) of one thread, or None off Linux."""
    try:
        with open(f"/proc/self/task/{tid}/schedstat") as f:
            on_cpu, wait, _slices = f.read().split()
        return int(on_cpu), int(wait)
    except (OSError, ValueError):
        return None


def cpu_seconds():
    """User + system CPU of the whole process (all threads), in seconds."""
    return time.process_time()


def pct(values, q):
    return round(float(np.percentile(values, q)) * 1000, 2) if len(values) else None


def window_stats(collector, reader, c0, c1, t0, t1, streams):
    """Frame rate and latency between two snapshots."""
    span = t1 - t0
    frames = [b - a for a, b in zip(c0, c1)]
    fps = [f / span for f in frames]
    out = {
        "window_s": round(span, 3),
        "frames": int(sum(frames)),
        "fps_per_stream": [round(f, 2) for f in fps],
        "fps_med": round(float(np.median(fps)), 2),
        "fps_min": round(float(min(fps)), 2),
    }
    if reader.delivers:
        lat, nat = [], []
        for s in range(streams):
            for t, lt, nt in collector.records[s]:
                if t0 <= t < t1:
                    lat.append(lt)
                    if not math.isnan(nt):
                        nat.append(nt)
        out.update(lat_p50_ms=pct(lat, 50), lat_p95_ms=pct(lat, 95), lat_n=len(lat))
        if nat:
            out.update(native_lat_p50_ms=pct(nat, 50), native_lat_p95_ms=pct(nat, 95))
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reader", required=True, choices=sorted(READERS))
    ap.add_argument("--url", required=True, help="server base URL")
    ap.add_argument("--streams", type=int, default=1)
    ap.add_argument("--times-file", required=True)
    ap.add_argument("--clip-len", type=int, required=True)
    ap.add_argument("--source-fps", type=int, default=20)
    ap.add_argument("--consume", default="all",
                    help="'all' frames, or the frames per second per stream the consumer takes")
    ap.add_argument("--open-timeout", type=float, default=20.0)
    ap.add_argument("--warmup", type=float, default=2.0)
    ap.add_argument("--quiet", type=float, default=10.0)
    ap.add_argument("--busy", type=float, default=10.0)
    ap.add_argument("--calibrate", type=float, default=1.0)
    ap.add_argument("--out", required=True)
    args = ap.parse_args(argv)

    limit = args.calibrate + args.open_timeout + args.warmup + args.quiet + args.busy + 30
    watchdog = threading.Timer(limit, lambda: os._exit(3))
    watchdog.daemon = True
    watchdog.start()

    result = {"reader": args.reader, "streams": args.streams, "source_fps": args.source_fps,
              "consume": args.consume, "pid": os.getpid(), "ok": False}

    def finish(reader=None):
        if reader is not None:
            t = time.monotonic()
            reader.stop(timeout_s=5.0)
            result["stop_s"] = round(time.monotonic() - t, 3)
            result["errors"] = reader.errors[:20]
        with open(args.out, "w") as f:
            json.dump(result, f, indent=1)
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(0)

    times = np.memmap(args.times_file, dtype=np.float64, mode="r",
                      shape=(args.streams, args.clip_len))
    urls = [f"{args.url}/stream{i}" for i in range(args.streams)]
    collector = Collector(args.streams, times, None if args.consume == "all" else float(args.consume))
    tid = threading.get_native_id()

    # calibrate: the busy loop with no streams open
    s0, t0 = schedstat(tid), time.perf_counter()
    iters = busy_loop(args.calibrate)
    s1, t1 = schedstat(tid), time.perf_counter()
    cal_rate = iters / (t1 - t0)
    result["calibration"] = {"loop_rate": round(cal_rate)}
    if s0 and s1:
        result["calibration"]["oncpu_share"] = round((s1[0] - s0[0]) / 1e9 / (t1 - t0), 3)

    try:
        reader = READERS[args.reader](urls, collector)
    except Skip as e:
        result["skipped"] = str(e)
        finish()

    def counts():
        native = reader.native_counts()
        return list(native) if native is not None else list(collector.counts)

    def firsts():
        native = reader.native_first_times()
        return list(native) if native is not None else list(collector.first)

    # open
    t_open = time.time()
    try:
        reader.start()
    except Exception as e:  # noqa: BLE001
        result["errors"] = [f"start: {type(e).__name__}: {e}"]
        finish(reader)
    deadline = time.monotonic() + args.open_timeout
    while time.monotonic() < deadline:
        if all(f is not None for f in firsts()):
            break
        if reader.errors and len(reader.errors) >= args.streams:
            break
        reader.poll()
        time.sleep(0.005)
    first = firsts()
    result["open"] = {
        "first_frame_s": [round(f - t_open, 3) if f else None for f in first],
        "all_first_s": round(max(first) - t_open, 3) if all(first) else None,
    }
    if reader.delivers:
        result["open"]["first_clip_index"] = list(collector.first_index)
    if not any(first):
        result["errors"] = reader.errors[:20] + ["no stream delivered a frame"]
        finish(reader)

    # warm-up
    end = time.monotonic() + args.warmup
    while time.monotonic() < end:
        reader.poll()
        time.sleep(min(0.1, max(0.0, end - time.monotonic())))

    # quiet
    c0, cpu0, w0 = counts(), cpu_seconds(), time.time()
    end = time.monotonic() + args.quiet
    while time.monotonic() < end:
        time.sleep(min(0.1, max(0.0, end - time.monotonic())))
    c1, cpu1, w1 = counts(), cpu_seconds(), time.time()
    q = window_stats(collector, reader, c0, c1, w0, w1, args.streams)
    q["cpu_s"] = round(cpu1 - cpu0, 3)
    q["cpu_cores"] = round((cpu1 - cpu0) / (w1 - w0), 3)
    q["cpu_ms_per_s"] = round((cpu1 - cpu0) * 1000 / (w1 - w0), 1)
    q["cpu_ms_per_frame"] = round((cpu1 - cpu0) * 1000 / q["frames"], 3) if q["frames"] else None
    result["quiet"] = q
    reader.poll()

    # busy
    c0, cpu0, s0, w0, p0 = counts(), cpu_seconds(), schedstat(tid), time.time(), time.perf_counter()
    iters = busy_loop(args.busy)
    c1, cpu1, s1, w1, p1 = counts(), cpu_seconds(), schedstat(tid), time.time(), time.perf_counter()
    b = window_stats(collector, reader, c0, c1, w0, w1, args.streams)
    wall = p1 - p0
    b["loop_rate"] = round(iters / wall)
    b["loop_rate_vs_alone"] = round(iters / wall / cal_rate, 3)
    if s0 and s1:
        oncpu = (s1[0] - s0[0]) / 1e9
        wait = (s1[1] - s0[1]) / 1e9
        b["main_oncpu_share"] = round(oncpu / wall, 3)
        b["main_runqueue_share"] = round(wait / wall, 3)
        b["main_blocked_share"] = round(max(0.0, wall - oncpu - wait) / wall, 3)
        others = (cpu1 - cpu0) - oncpu
        b["reader_cpu_ms_per_frame"] = (round(others * 1000 / b["frames"], 3)
                                        if b["frames"] else None)
    result["busy"] = b

    result["bad_codes"] = int(sum(collector.bad))
    result["ok"] = all(first) and not reader.errors
    finish(reader)


if __name__ == "__main__":
    main()
