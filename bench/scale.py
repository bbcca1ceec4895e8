"""Scale run: what N streams cost one process, from 8 to 1,000, at sub-stream size.

Against bench/scale_server.py (640x360, 512 kbit/s, 20 fps, a keyframe every 2 s, a
camera-like clip), each point runs a fresh reader process that opens N streams, waits until
every one delivered a frame, and then, for --seconds, measures:

    threads/stream   OS threads of the process (/proc/self/task) above those before the first open
    RSS/stream       resident memory above the process's before the first open, in MiB
    CPU/stream       process CPU time per wall second, in % of one core, divided by N
    fps delivered    frames stored by the readers per second, all streams together
    fps read         frames one Python thread took (wait_any, then the frame's image), per second
    live after       seconds from the first constructor until every stream delivered a frame
    thread names     the names (/proc/self/task/*/comm) of the threads the streams added, counted

    python bench/scale.py --streams 8,64,256,1000 --modes all,keyframes,idle
    python bench/scale.py --readers pyav-nonkey,opencv --streams 8,64

Modes: `all` reads every frame, `5fps` takes the newest frame of each stream 5 times a second
(peers decode every frame and convert only those taken: OpenCV grab() + retrieve(), PyAV
to_ndarray of the frames taken), `keyframes` reads every frame of streams opened keyframes
only, `idle` opens every frame but nobody reads. Readers: vantle (UDP), vantle-tcp, and the
peers opencv (cv2.VideoCapture read(), a thread per stream), pyav (a thread per stream,
to_ndarray of every frame) and pyav-nonkey (codec_context.skip_frame = "NONKEY"). A peer runs
only in the modes it has: no peer has an idle mode, and only pyav-nonkey a keyframes one.
Results go to bench/results/scale.json (merged with earlier points) and scale.md.
"""

import argparse
import json
import os
import platform
import re
import resource
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")


def process_sample():
    with open("/proc/self/status") as f:
        status = dict(line.split(":", 1) for line in f if ":" in line)
    times = os.times()
    return {"threads": len(os.listdir("/proc/self/task")), "rss_kib": int(status["VmRSS"].split()[0]),
            "cpu": times.user + times.system, "fds": len(os.listdir("/proc/self/fd"))}


def thread_names(exclude=()):
    """Names (/proc/self/task/*/comm) of the process's threads not in `exclude` (thread ids), counted,
    with element numbers shown as N ("udpsrcN:src", "taskN")."""
    names = {}
    for tid in os.listdir("/proc/self/task"):
        if int(tid) in exclude:
            continue
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                name = re.sub(r"\d+", "N", f.read().strip())
        except OSError:  # the thread ended
            continue
        names[name] = names.get(name, 0) + 1
    return dict(sorted(names.items(), key=lambda kv: -kv[1]))


class Counter:
    def __init__(self, n):
        self.first = [None] * n
        self.delivered = [0] * n
        self.read = 0


def open_vantle(urls, mode, tcp, counter, stop):
    from vantle import loop_host
    from vantle.live_feed import LiveFeed, wait_any

    loop_host.start()
    options = {"keyframes_only": mode == "keyframes"}
    feeds = [LiveFeed(url, runtime_options=options, proxied=tcp) if tcp else LiveFeed(url, runtime_options=options)
             for url in urls]

    def reader():
        seen = {feed: 0 for feed in feeds}
        while not stop.is_set():
            for feed in wait_any(seen, timeout=0.5):
                frame = feed.next_frame(seen[feed], timeout=0)
                if frame is None:
                    continue
                seen[feed] = frame.number
                frame.image  # noqa: B018 - the read converts
                counter.read += 1

    def watch_first_frames():
        # Polled, so that nobody waits on the readers of the idle mode.
        while not stop.is_set() and any(t is None for t in counter.first):
            for i, feed in enumerate(feeds):
                if counter.first[i] is None and feed.frame_number > 0:
                    counter.first[i] = time.monotonic()
            time.sleep(0.02)

    def sample():
        # A few frames a second from every stream: the newest frame, 5 times a second.
        seen = {}
        while not stop.is_set():
            for feed in feeds:
                record = feed.latest_frame
                if record is not None and seen.get(feed) != record[0]:
                    seen[feed] = record[0]
                    counter.read += 1
            stop.wait(0.2)

    threading.Thread(target=watch_first_frames, daemon=True).start()
    if mode == "idle":
        reader = None
    elif mode == "5fps":
        reader = sample

    def delivered():
        return sum(feed.frame_number for feed in feeds)

    return feeds, reader, delivered, lambda: [feed.close() for feed in feeds]


def open_peer(urls, reader_name, mode, counter, stop):
    threads = []
    sampling = mode == "5fps"

    def run_av(i, url):
        import av

        with av.open(url, options={"rtsp_transport": "udp"}, timeout=10) as container:
            stream = container.streams.video[0]
            if reader_name == "pyav-nonkey":
                stream.codec_context.skip_frame = "NONKEY"
            due = time.monotonic()
            for frame in container.decode(stream):
                if stop.is_set():
                    return
                counter.delivered[i] += 1
                if sampling and time.monotonic() < due:
                    continue  # decoded, not taken: converted only when taken
                due += 0.2
                frame.to_ndarray(format="bgr24")
                counter.read += 1
                if counter.first[i] is None:
                    counter.first[i] = time.monotonic()

    def run_cv(i, url):
        import cv2

        cap = cv2.VideoCapture(url, cv2.CAP_FFMPEG)
        due = time.monotonic()
        while not stop.is_set():
            if not cap.grab():
                break
            counter.delivered[i] += 1
            if sampling and time.monotonic() < due:
                continue
            due += 0.2
            cap.retrieve()
            counter.read += 1
            if counter.first[i] is None:
                counter.first[i] = time.monotonic()
        cap.release()

    target = run_cv if reader_name == "opencv" else run_av
    for i, url in enumerate(urls):
        thread = threading.Thread(target=target, args=(i, url), daemon=True)
        thread.start()
        threads.append(thread)
    return threads, None, lambda: sum(counter.delivered), lambda: None


def measure(args):
    """One point, in this (fresh) process; prints its JSON."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if args.reader.startswith("vantle"):
        import vantle.live_feed  # noqa: F401 - loaded before the baseline, like the peers' modules
    elif args.reader == "opencv":
        import cv2  # noqa: F401
    else:
        import av  # noqa: F401
    import numpy  # noqa: F401

    n = args.n
    urls = [args.url] * n
    counter = Counter(n)
    stop = threading.Event()
    before = process_sample()
    tids_before = {int(tid) for tid in os.listdir("/proc/self/task")}
    started = time.monotonic()
    if args.reader.startswith("vantle"):
        handles, reader, delivered, close = open_vantle(urls, args.mode, args.reader == "vantle-tcp", counter, stop)
        if reader:
            threading.Thread(target=reader, daemon=True).start()
    else:
        handles, reader, delivered, close = open_peer(urls, args.reader, args.mode, counter, stop)
    constructed = time.monotonic() - started
    deadline = started + args.open_timeout
    while time.monotonic() < deadline and any(t is None for t in counter.first):
        time.sleep(0.05)
    live = [t for t in counter.first if t is not None]
    result = {"reader": args.reader, "mode": args.mode, "n": n, "constructors_s": round(constructed, 2),
              "live": len(live), "all_live_s": round(max(live) - started, 2) if len(live) == n else None}
    time.sleep(args.warmup)
    a, d0, r0, t0 = process_sample(), delivered(), counter.read, time.monotonic()
    time.sleep(args.seconds)
    b, d1, r1, t1 = process_sample(), delivered(), counter.read, time.monotonic()
    wall = t1 - t0
    result.update({
        "threads_per_stream": round((b["threads"] - before["threads"]) / n, 2),
        "fds_per_stream": round((b["fds"] - before["fds"]) / n, 2),
        "rss_mib_per_stream": round((b["rss_kib"] - before["rss_kib"]) / 1024 / n, 2),
        "cpu_pct_per_stream": round(100 * (b["cpu"] - a["cpu"]) / wall / n, 2),
        "cpu_pct": round(100 * (b["cpu"] - a["cpu"]) / wall, 1),
        "fps_delivered": round((d1 - d0) / wall, 1),
        "fps_read": round((r1 - r0) / wall, 1),
        "threads": b["threads"], "rss_mib": round(b["rss_kib"] / 1024, 1),
        "thread_names": thread_names(tids_before),
    })
    print(json.dumps(result), flush=True)
    stop.set()
    if args.reader.startswith("vantle"):
        close()
    os._exit(0)


def serve(args):
    server = subprocess.Popen([sys.executable, os.path.join(HERE, "scale_server.py"), "--width", str(args.width),
                               "--height", str(args.height), "--kbps", str(args.kbps)], stdout=subprocess.PIPE,
                              text=True)
    info = json.loads(server.stdout.readline())
    return server, info["url"]


def table(points):
    rows = ["| clip | reader | mode | N | live | constructors (s) | all live after (s) | threads/stream | RSS/stream (MiB)"
            " | CPU/stream (% core) | CPU ms/frame | fps delivered | fps read | load avg |",
            "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for p in sorted(points, key=lambda p: (p.get("size", ""), p["mode"], p["reader"], p["n"])):
        rows.append(f"| {p.get('size', '')} | {p['reader']} | {p['mode']} | {p['n']} | {p['live']} | "
                    f"{p.get('constructors_s', '')} | {p['all_live_s']} | "
                    f"{p['threads_per_stream']} | {p['rss_mib_per_stream']} | {p['cpu_pct_per_stream']} | "
                    f"{p['cpu_pct'] * 10 / p['fps_delivered'] if p['fps_delivered'] else 0:.2f} | "
                    f"{p['fps_delivered']} | {p['fps_read']} | {p.get('load', '')} |")
    return "\n".join(rows) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--streams", default="8,64,256,1000")
    parser.add_argument("--modes", default="all,keyframes,idle")
    parser.add_argument("--readers", default="vantle,vantle-tcp")
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--warmup", type=float, default=3)
    parser.add_argument("--open-timeout", type=float, default=60)
    parser.add_argument("--width", type=int, default=640)
    parser.add_argument("--height", type=int, default=360)
    parser.add_argument("--kbps", type=int, default=512)
    parser.add_argument("--out", default=os.path.join(RESULTS, "scale.json"))
    # One point in this process (used by the runner itself).
    parser.add_argument("--point", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--reader", help=argparse.SUPPRESS)
    parser.add_argument("--mode", help=argparse.SUPPRESS)
    parser.add_argument("--n", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--url", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.point:
        return measure(args)

    try:
        with open(args.out) as f:
            stored = json.load(f)
    except (OSError, ValueError):
        stored = {"points": []}
    server, url = serve(args)
    size = f"{args.width}x{args.height}@{args.kbps}k"
    try:
        time.sleep(2)
        for reader in args.readers.split(","):
            for mode in args.modes.split(","):
                if not reader.startswith("vantle") and (mode == "idle" or (mode == "keyframes") != (reader == "pyav-nonkey")):
                    continue
                if reader == "pyav-nonkey" and mode != "keyframes":
                    continue
                for n in map(int, args.streams.split(",")):
                    command = [sys.executable, __file__, "--point", "--reader", reader, "--mode", mode, "--n", str(n),
                               "--url", url, "--seconds", str(args.seconds), "--warmup", str(args.warmup),
                               "--open-timeout", str(args.open_timeout)]
                    load = os.getloadavg()[0]
                    try:
                        done = subprocess.run(command, capture_output=True, text=True,
                                              timeout=args.open_timeout + args.seconds + args.warmup + 120)
                        lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
                        point = json.loads(lines[-1]) if lines else {"reader": reader, "mode": mode, "n": n,
                                                                     "error": done.stderr[-500:]}
                    except subprocess.TimeoutExpired:
                        point = {"reader": reader, "mode": mode, "n": n, "error": "timed out"}
                    point["load"] = round(load, 1)
                    point["size"] = size
                    print(json.dumps(point), flush=True)
                    stored["points"] = [p for p in stored["points"]
                                        if (p["reader"], p["mode"], p["n"], p.get("size")) != (reader, mode, n, size)] + [point]
                    stored["machine"] = {"cpus": os.cpu_count(), "python": platform.python_version(),
                                         "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}
                    with open(args.out, "w") as f:
                        json.dump(stored, f, indent=1)
                    with open(os.path.splitext(args.out)[0] + ".md", "w") as f:
                        f.write(table([p for p in stored["points"] if "error" not in p]))
    finally:
        server.terminate()


if __name__ == "__main__":
    main()
