"""CPU of a stream inside a fleet against the same streams in one plain process, and the time a
fleet takes to bring a killed worker's streams back.

    python bench/fleet.py                       # 8 streams, 1280x720 at 20 fps: about 3 minutes
    python bench/fleet.py --streams 4 --seconds 10 --kills 3 --out /tmp/fleet.json

Every case runs in a fresh process against bench/rtsp_server.py (N unshared 1280x720 H.264 mounts
at 20 fps, looped from a clip encoded once, so the server costs little):

  plain       one process, N LiveFeed readers; its own CPU time (getrusage)
  fleet-K     vantle.fleet with K streams per worker on a private one-node Ray started by the case;
              the workers' CPU, and separately the rest of Ray (GCS, raylet, agents, idle workers)
              and the driver, all read from /proc

For each: frames per stream per second and CPU milliseconds per stream per second over
--seconds, after --warmup. Then, for the fleet cases, --kills times: SIGKILL the first worker and
take, from the restarted worker's stats(), the time from the kill until the new process had
opened its readers and until each of its streams stored its first frame.
"""

import argparse
import json
import os
import resource
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PY = sys.executable
TICK = os.sysconf("SC_CLK_TCK")


def log(message):
    print(f"[fleet bench] {message}", file=sys.stderr, flush=True)


# ----------------------------------------------------------------------------- /proc


def proc_table():
    """{pid: (parent pid, state, cpu seconds, command)} of every process."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat_file:
                head, tail = stat_file.read().rsplit(")", 1)
        except OSError:
            continue
        fields = tail.split()
        cpu = (int(fields[11]) + int(fields[12])) / TICK  # utime + stime
        table[int(entry)] = (int(fields[1]), fields[0], cpu, head.split("(", 1)[1])
    return table


def descendants(root, table):
    found, frontier = set(), {root}
    while frontier:
        frontier = {pid for pid, (parent, state, _, _) in table.items() if parent in frontier and state != "Z"}
        found |= frontier
    return found


def cpu_of(pids, table):
    return sum(table[pid][2] for pid in pids if pid in table)


# ----------------------------------------------------------------------------- cases (child processes)


def run_plain(args):
    from vantle import loop_host
    from vantle.live_feed import LiveFeed

    loop_host.start()
    feeds = [LiveFeed(url, runtime_options={"keyframes_only": False}) for url in args.urls]
    deadline = time.monotonic() + 30
    while any(feed.frame_number == 0 for feed in feeds) and time.monotonic() < deadline:
        time.sleep(0.1)
    time.sleep(args.warmup)
    frames0 = [feed.frame_number for feed in feeds]
    usage0, t0 = resource.getrusage(resource.RUSAGE_SELF), time.monotonic()
    time.sleep(args.seconds)
    usage1, t1 = resource.getrusage(resource.RUSAGE_SELF), time.monotonic()
    frames1 = [feed.frame_number for feed in feeds]
    for feed in feeds:
        feed.close()
    cpu = (usage1.ru_utime + usage1.ru_stime) - (usage0.ru_utime + usage0.ru_stime)
    return per_stream({"case": "plain"}, frames0, frames1, t1 - t0, {"readers": cpu})


def run_fleet(args):
    from vantle.fleet import Fleet

    me = os.getpid()
    with Fleet(args.urls, streams_per_worker=args.per_worker, num_cpus=1) as fleet:
        deadline = time.monotonic() + 60
        while any(entry["frame_number"] == 0 for entry in fleet.stats()) and time.monotonic() < deadline:
            time.sleep(0.2)
        time.sleep(args.warmup)

        stats0 = fleet.stats()
        workers = {entry["worker_pid"] for entry in stats0}
        table0, t0 = proc_table(), time.monotonic()
        ray_pids = descendants(me, table0) - workers
        time.sleep(args.seconds)
        table1, t1 = proc_table(), time.monotonic()
        stats1 = fleet.stats()
        cpu = {part: cpu_of(pids, table1) - cpu_of(pids, table0)
               for part, pids in (("readers", workers), ("ray", ray_pids), ("driver", {me}))}
        result = per_stream({"case": f"fleet-{args.per_worker}", "workers": len(workers)},
                            [e["frame_number"] for e in stats0], [e["frame_number"] for e in stats1], t1 - t0, cpu)
        result["restarts"] = [measure_restart(fleet) for _ in range(args.kills)]
    return result


def measure_restart(fleet):
    """Kills the first worker; seconds from the kill to its replacement's readers and first frames."""
    before = fleet.stats()
    victim = before[0]["worker_pid"]
    streams = [i for i, entry in enumerate(before) if entry["worker_pid"] == victim]
    killed_at = time.time()
    os.kill(victim, signal.SIGKILL)
    deadline = time.monotonic() + 60
    while True:
        after = fleet.stats()
        if all(after[i]["worker_pid"] != victim and after[i]["frame_number"] > 0 for i in streams):
            break
        if time.monotonic() > deadline:
            return None
        time.sleep(0.05)
    first_frames = [after[i]["opened_at"] + after[i]["first_frame_after"] - killed_at for i in streams]
    time.sleep(2)  # let the new worker settle before the next kill
    return {"worker_up": after[streams[0]]["worker_started_at"] - killed_at,
            "first_frame": min(first_frames), "all_streams": max(first_frames)}


def per_stream(result, frames0, frames1, seconds, cpu):
    streams = len(frames0)
    result.update(
        streams=streams, seconds=round(seconds, 2),
        fps_per_stream=round(sum(b - a for a, b in zip(frames0, frames1)) / streams / seconds, 2),
        cpu_ms_per_stream_s={part: round(1000 * value / streams / seconds, 1) for part, value in cpu.items()})
    return result


# ----------------------------------------------------------------------------- driver


def start_server(mounts, clip, lifetime):
    proc = subprocess.Popen([PY, os.path.join(HERE, "rtsp_server.py"), "--mounts", str(mounts), "--fps", "20",
                             "--clip", clip, "--lifetime", str(lifetime)], stdout=subprocess.PIPE, text=True)
    ready, _, _ = select.select([proc.stdout], [], [], 120)
    line = proc.stdout.readline() if ready else ""
    if not line:
        proc.kill()
        raise RuntimeError("RTSP server did not start")
    return proc, json.loads(line)["url"]


def run_case(role, urls, args, per_worker=0):
    cmd = [PY, os.path.abspath(__file__), "--role", role, "--per-worker", str(per_worker),
           "--seconds", str(args.seconds), "--warmup", str(args.warmup), "--kills", str(args.kills), *urls]
    budget = 120 + args.warmup + args.seconds + 30 * args.kills
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=budget)
    if done.returncode != 0:
        log(f"{role} failed:\n{done.stderr[-3000:]}")
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])


def summarise(result):
    cpu = result["cpu_ms_per_stream_s"]
    line = (f"{result['case']:>9}: {result['fps_per_stream']:5.2f} fps/stream, CPU ms per stream-second: "
            + ", ".join(f"{part} {value}" for part, value in cpu.items())
            + f" (total {round(sum(cpu.values()), 1)})")
    restarts = [r for r in result.get("restarts", []) if r]
    if restarts:
        median = {key: round(statistics.median(r[key] for r in restarts), 2) for key in restarts[0]}
        worst = round(max(r["all_streams"] for r in restarts), 2)
        line += (f"\n{'':>11}kill -> worker up {median['worker_up']} s, first frame {median['first_frame']} s, "
                 f"all its streams {median['all_streams']} s (median of {len(restarts)}; worst {worst} s)")
    return line


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--streams", type=int, default=8)
    parser.add_argument("--per-worker", type=int, default=0, help="fleet cases: streams per worker (default 8 and 2)")
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--warmup", type=float, default=5.0)
    parser.add_argument("--kills", type=int, default=5)
    parser.add_argument("--out", default="", help="write every result as JSON here")
    parser.add_argument("--role", choices=("plain", "fleet"), help=argparse.SUPPRESS)
    parser.add_argument("urls", nargs="*", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.role:
        result = run_plain(args) if args.role == "plain" else run_fleet(args)
        print(json.dumps(result), flush=True)
        return

    clip = os.path.join(tempfile.gettempdir(), "vantle-bench-clip20.bin")
    subprocess.run([PY, os.path.join(HERE, "rtsp_server.py"), "--fps", "20", "--clip", clip, "--encode-only"],
                   check=True, timeout=300)
    sizes = [args.per_worker] if args.per_worker else [8, 2]
    results = []
    for case, per_worker in [("plain", 0)] + [("fleet", k) for k in sizes]:
        # A fresh server per case: unshared mounts start every reader at the clip's keyframe.
        server, base = start_server(args.streams, clip, lifetime=600)
        try:
            log(f"{case}{'-' + str(per_worker) if per_worker else ''}: {args.streams} streams")
            result = run_case(case, [f"{base}/stream{k}" for k in range(args.streams)], args, per_worker)
        finally:
            server.terminate()
            server.wait(10)
        if result:
            results.append(result)
            print(summarise(result), flush=True)
    if args.out:
        with open(args.out, "w") as out:
            json.dump({"date": time.strftime("%Y-%m-%d"), "cpus": os.cpu_count(), "results": results}, out, indent=1)


if __name__ == "__main__":
    main()
