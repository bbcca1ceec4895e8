"""Run the reader benchmark and write bench/results/{results.json,results.md,plot.png}.

    python bench/run.py --quick     # about 7 minutes: 1 repetition, short phases, 20 fps
    python bench/run.py             # full: 3 repetitions, 10 s phases, about 75 minutes

A case is a source frame rate and what the consumer takes: every frame
("all") or R frames per second per stream. The full run measures 20 fps and
30 fps with every frame taken and 20 fps with 5 frames per second taken
(--cases 20:all,30:all,20:5); --quick measures 20:all and 20:5. Each case runs
on each clip (--clips): the light test pattern and the camera-like 720p clip
(--quick), plus the camera-like 1080p clip in the full run.

Every (case, repetition, N, reader) gets a fresh RTSP server process
(bench/rtsp_server.py, N mounts) and a fresh reader process (bench/run_one.py).
Within one repetition and N, the readers run back to back (in a rotated
order), so ratios between readers are taken between neighbouring runs.
"""

import argparse
import datetime
import itertools
import json
import os
import platform
import select
import signal
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PY = sys.executable
ALL_READERS = ["vantle", "opencv", "opencv-grab", "pyav", "pyav-lazy", "gst-python", "gst-floor"]
# Readers per consumer: with every frame taken the expert forms do what the usual forms do, and
# the floor (nothing delivered) is measured once per source rate.
READERS_FOR = {"all": ["vantle", "opencv", "pyav", "gst-python", "gst-floor"],
               "rate": ["vantle", "opencv", "opencv-grab", "pyav", "pyav-lazy", "gst-python"]}
BASELINE = "gst-floor"


def log(*a):
    print(*a, file=sys.stderr, flush=True)


def machine():
    info = {"cpu_model": None, "cpus": os.cpu_count(), "python": platform.python_version(),
            "platform": platform.platform()}
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, timeout=10).stdout
        for line in out.splitlines():
            key, _, val = line.partition(":")
            if key.strip() == "Model name":
                info["cpu_model"] = val.strip()
            elif key.strip() == "CPU(s)":
                info["cpus"] = int(val.strip())
    except (OSError, ValueError, subprocess.SubprocessError):
        pass
    try:
        info["loadavg_at_start"] = os.getloadavg()
    except OSError:
        pass
    # Versions without importing the packages here: loading OpenCV, PyAV and
    # GStreamer into the process that later draws with matplotlib can crash it.
    from importlib import metadata
    versions = {}
    for name, dist in (("numpy", "numpy"), ("opencv", "opencv-python-headless"),
                       ("opencv", "opencv-python"), ("av", "av"), ("vantle", "vantle"),
                       ("matplotlib", "matplotlib")):
        if versions.get(name):
            continue
        try:
            versions[name] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            versions[name] = None
    try:
        versions["gstreamer"] = subprocess.run(
            [PY, "-c", "import gi; gi.require_version('Gst', '1.0'); "
             "from gi.repository import Gst; Gst.init(None); print(Gst.version_string())"],
            capture_output=True, text=True, timeout=30).stdout.strip() or None
    except (OSError, subprocess.SubprocessError):
        versions["gstreamer"] = None
    info["versions"] = versions
    return info


def clip_file(raw_dir, kind, fps):
    return os.path.join(raw_dir, f"clip{fps}-{kind}.bin")


def start_server(mounts, fps, kind, clip, times_file, lifetime):
    proc = subprocess.Popen(
        [PY, os.path.join(HERE, "rtsp_server.py"), "--mounts", str(mounts), "--fps", str(fps), "--kind", kind,
         "--clip", clip, "--times-file", times_file, "--lifetime", str(lifetime)],
        stdout=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        ready, _, _ = select.select([proc.stdout], [], [], 1.0)
        if ready:
            line = proc.stdout.readline()
            if not line:
                break
            return proc, json.loads(line)
        if proc.poll() is not None:
            break
    stop_server(proc)
    raise RuntimeError("RTSP server did not start")


def stop_server(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)


def run_case(reader, n, kind, fps, consume, rep, cfg, raw_dir):
    tag = f"{kind}-fps{fps}-take{consume}-n{n}-rep{rep}-{reader}"
    out = os.path.join(raw_dir, f"{tag}.json")
    times_file = os.path.join(raw_dir, f"times-{os.getpid()}.f64")
    budget = (cfg.calibrate + cfg.open_timeout + cfg.warmup + cfg.quiet + cfg.busy + 40)
    server, info = start_server(n, fps, kind, clip_file(raw_dir, kind, fps), times_file, budget + 30)
    try:
        cmd = [PY, os.path.join(HERE, "run_one.py"), "--reader", reader, "--url", info["url"],
               "--streams", str(n), "--times-file", times_file,
               "--clip-len", str(info["clip_len"]), "--source-fps", str(fps),
               "--open-timeout", str(cfg.open_timeout), "--warmup", str(cfg.warmup),
               "--quiet", str(cfg.quiet), "--busy", str(cfg.busy),
               "--calibrate", str(cfg.calibrate), "--consume", consume, "--out", out]
        if os.path.exists(out):
            os.unlink(out)
        with open(os.path.join(raw_dir, f"{tag}.log"), "w") as logf:
            try:
                rc = subprocess.run(cmd, stdout=logf, stderr=subprocess.STDOUT,
                                    timeout=budget).returncode
            except subprocess.TimeoutExpired:
                rc = "timeout"
        try:
            with open(out) as f:
                res = json.load(f)
        except (OSError, ValueError):
            res = {"reader": reader, "streams": n, "source_fps": fps, "consume": consume, "ok": False,
                   "errors": [f"no result (exit {rc}); see {tag}.log"]}
    finally:
        stop_server(server)
        try:
            os.unlink(times_file)
        except OSError:
            pass
    res["rep"] = rep
    res["clip"] = kind
    return res


# ---------------------------------------------------------------- summary

def get(d, path):
    for k in path.split("."):
        if not isinstance(d, dict) or d.get(k) is None:
            return None
        d = d[k]
    return d


METRICS = {
    "fps": "quiet.fps_med",
    "fps_min_stream": "quiet.fps_min",
    "cpu_ms_per_frame": "quiet.cpu_ms_per_frame",
    "cpu_cores": "quiet.cpu_cores",
    "cpu_ms_per_s": "quiet.cpu_ms_per_s",
    "lat_p50_ms": "quiet.lat_p50_ms",
    "lat_p95_ms": "quiet.lat_p95_ms",
    "native_lat_p50_ms": "quiet.native_lat_p50_ms",
    "open_all_s": "open.all_first_s",
    "busy_blocked_share": "busy.main_blocked_share",
    "busy_loop_vs_alone": "busy.loop_rate_vs_alone",
    "busy_fps": "busy.fps_med",
    "busy_lat_p50_ms": "busy.lat_p50_ms",
    "busy_lat_p95_ms": "busy.lat_p95_ms",
    "busy_reader_cpu_ms_per_frame": "busy.reader_cpu_ms_per_frame",
}


def clip_of(r):
    return r.get("clip", "light")


def summarize(runs):
    # ratios against the floor of the same clip, fps, repetition and N (measured with every frame)
    floor = {(clip_of(r), r["source_fps"], r["rep"], r["streams"]): r for r in runs if r["reader"] == BASELINE}
    for r in runs:
        base = floor.get((clip_of(r), r["source_fps"], r["rep"], r["streams"]))
        mine, theirs = get(r, "quiet.cpu_ms_per_frame"), get(base, "quiet.cpu_ms_per_frame")
        if r.get("consume", "all") != "all":
            mine, theirs = get(r, "quiet.cpu_ms_per_s"), get(base, "quiet.cpu_ms_per_s")
        r["cpu_vs_floor"] = round(mine / theirs, 3) if mine and theirs else None
    groups = {}
    for r in runs:
        groups.setdefault((clip_of(r), r["source_fps"], r.get("consume", "all"), r["streams"], r["reader"]),
                          []).append(r)
    summary = []
    for (kind, fps, consume, n, reader), rs in sorted(groups.items(), key=lambda kv: (
            _case_order(*kv[0][:3]), kv[0][3], _order(kv[0][4]))):
        row = {"clip": kind, "source_fps": fps, "consume": consume, "streams": n, "reader": reader, "reps": len(rs),
               "ok_reps": sum(1 for r in rs if r.get("ok"))}
        skipped = [r["skipped"] for r in rs if r.get("skipped")]
        if skipped:
            row["skipped"] = skipped[0]
        errors = sorted({e for r in rs for e in (r.get("errors") or [])})
        if errors:
            row["errors"] = errors[:5]
        for name, path in list(METRICS.items()) + [("cpu_vs_floor", "cpu_vs_floor")]:
            vals = [v for v in (get(r, path) for r in rs) if v is not None]
            if vals:
                row[name] = {"median": round(statistics.median(vals), 3),
                             "min": round(min(vals), 3)}
        summary.append(row)
    return summary


CLIP_TITLES = {"light": "light clip (1280x720 test pattern)",
               "camera720": "camera-like clip, 1280x720 at 3 Mbit/s",
               "camera1080": "camera-like clip, 1920x1080 at 4 Mbit/s"}


def _case_order(kind, fps, consume):
    return (list(CLIP_TITLES).index(kind), consume != "all", fps if consume == "all" else -float(consume), fps)


def case_title(kind, fps, consume):
    taken = "every frame taken" if consume == "all" else f"{consume} frames per second per stream taken"
    return f"{CLIP_TITLES[kind][0].upper()}{CLIP_TITLES[kind][1:]}: source at {fps} fps, {taken}"


# vantle's goals: (title, (source fps, consumer), metric, peers, limit on vantle ÷ the cheapest peer).
TARGETS = [
    ("every frame: CPU per frame ÷ OpenCV's", (20, "all"), "cpu_ms_per_frame", ["opencv"], 0.9),
    ("every frame: CPU per frame ÷ PyAV's", (20, "all"), "cpu_ms_per_frame", ["pyav"], 1.0),
    ("5 fps taken: CPU per second ÷ usual forms' (the cheaper)", (20, "5"), "cpu_ms_per_s", ["opencv", "pyav"],
     0.85),
    ("5 fps taken: CPU per second ÷ expert forms' (the cheaper)", (20, "5"), "cpu_ms_per_s",
     ["opencv-grab", "pyav-lazy"], 1.1),
    ("30 fps source: CPU per second ÷ OpenCV's", (30, "all"), "cpu_ms_per_s", ["opencv"], 1.0),
]


def targets(data):
    """Rows of vantle's ratios to its peers per N, with the limit each should stay within."""
    rows = {(clip_of(r), r["source_fps"], r["consume"], r["streams"], r["reader"]): r for r in data["summary"]}
    ns = sorted({r["streams"] for r in data["summary"]})
    kinds = sorted({clip_of(r) for r in data["summary"]}, key=list(CLIP_TITLES).index)
    lines = ["## vantle against its goals", "",
             "vantle's median divided by the cheapest named peer's median; ✓ within the limit.", "",
             "| check | limit | " + " | ".join(f"N={n}" for n in ns) + " |",
             "|---|---:|" + "---:|" * len(ns)]
    for kind, (title, (fps, consume), metric, peers, limit) in itertools.product(kinds, TARGETS):
        cells = []
        for n in ns:
            mine = get(rows.get((kind, fps, consume, n, "vantle")), f"{metric}.median")
            theirs = [get(rows.get((kind, fps, consume, n, p)), f"{metric}.median") for p in peers]
            theirs = [t for t in theirs if t]
            if not mine or not theirs:
                cells.append("–")
                continue
            ratio = mine / min(theirs)
            cells.append(f"{ratio:.2f} {'✓' if ratio <= limit else '✗'}")
        if any(c != "–" for c in cells):
            lines.append(f"| {kind}, {title} | ≤ {limit:g} | " + " | ".join(cells) + " |")
    for kind, n in itertools.product(kinds, ns):
        r = rows.get((kind, 20, "all", n, "vantle"))
        if r and n == max(ns):
            p50 = get(r, "lat_p50_ms.median")
            blocked = get(r, "busy_blocked_share.median")
            if p50 is not None:
                lines.append("")
                lines.append(f"vantle at N={n}, {kind}, every frame: latency p50 {p50:.0f} ms (goal < 20 ms); busy "
                             f"main thread blocked {blocked * 100:.0f} %." if blocked is not None else
                             f"vantle at N={n}, {kind}, every frame: latency p50 {p50:.0f} ms (goal < 20 ms).")
    lines.append("")
    return lines


def _order(reader):
    return ALL_READERS.index(reader) if reader in ALL_READERS else 99


def cell(row, name, fmt="{:.1f}", scale=1.0, show_min=True):
    v = row.get(name)
    if not v:
        return "–"
    med = fmt.format(v["median"] * scale)
    if show_min and row["reps"] > 1:
        return f"{med} ({fmt.format(v['min'] * scale)})"
    return med


def markdown(data):
    m = data["machine"]
    lines = [
        "# Reader benchmark results", "",
        f"- date: {data['date']}",
        f"- machine: {m.get('cpu_model')}, {m.get('cpus')} CPUs; load average at start "
        f"{', '.join(f'{x:.2f}' for x in m.get('loadavg_at_start', []))}",
        f"- versions: " + ", ".join(f"{k} {v}" for k, v in m["versions"].items()),
        f"- mode: {data['settings']['mode']}; repetitions {data['settings']['reps']}; "
        f"phases: warm-up {data['settings']['warmup']} s, quiet {data['settings']['quiet']} s, "
        f"busy {data['settings']['busy']} s",
        "- cells: median over repetitions, (min) when more than one; see bench/README.md "
        "for the columns", "",
    ]
    lines += targets(data)
    by_case = {}
    for row in data["summary"]:
        by_case.setdefault((clip_of(row), row["source_fps"], row["consume"]), []).append(row)
    for (kind, fps, consume), rows in sorted(by_case.items(), key=lambda kv: _case_order(*kv[0])):
        lines += [f"## {case_title(kind, fps, consume)}", "",
                  "| reader | N | fps/stream | CPU ms/frame | CPU ms/s | CPU × floor "
                  "| latency p50 / p95 ms | open→all s | busy: main blocked % "
                  "| busy: loop vs alone | busy: fps/stream | busy: latency p50 / p95 ms |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for row in rows:
            if row.get("skipped"):
                lines.append(f"| {row['reader']} | {row['streams']} | skipped: "
                             f"{row['skipped'][:60]} |" + " |" * 9)
                continue
            lat = (f"{cell(row, 'lat_p50_ms', '{:.0f}', show_min=False)} / "
                   f"{cell(row, 'lat_p95_ms', '{:.0f}', show_min=False)}")
            blat = (f"{cell(row, 'busy_lat_p50_ms', '{:.0f}', show_min=False)} / "
                    f"{cell(row, 'busy_lat_p95_ms', '{:.0f}', show_min=False)}")
            if row["reader"] == BASELINE:
                lat = blat = "n/a"
            bad = "" if row["ok_reps"] == row["reps"] else f" ⚠{row['reps'] - row['ok_reps']}"
            lines.append(
                f"| {row['reader']}{bad} | {row['streams']} | {cell(row, 'fps')} "
                f"| {cell(row, 'cpu_ms_per_frame', '{:.2f}')} "
                f"| {cell(row, 'cpu_ms_per_s', '{:.0f}')} "
                f"| {cell(row, 'cpu_vs_floor', '{:.2f}', show_min=False)} | {lat} "
                f"| {cell(row, 'open_all_s', '{:.2f}')} "
                f"| {cell(row, 'busy_blocked_share', '{:.0f}', 100)} "
                f"| {cell(row, 'busy_loop_vs_alone', '{:.2f}', show_min=False)} "
                f"| {cell(row, 'busy_fps')} | {blat} |")
        lines.append("")
    problems = [r for r in data["summary"] if r.get("errors")]
    if problems:
        lines += ["## Errors", ""]
        for r in problems:
            lines.append(f"- {r['reader']} N={r['streams']} {clip_of(r)} @{r['source_fps']} fps, take {r['consume']}: "
                         + "; ".join(r["errors"]))
        lines.append("")
    if any(r["ok_reps"] < r["reps"] and not r.get("skipped") for r in data["summary"]):
        lines += ["⚠k: k repetitions had an error or a stream that never delivered a frame "
                  "(details in results.json).", ""]
    return "\n".join(lines)


def plot(data, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [r for r in data["summary"] if not r.get("skipped")]
    cases = sorted({(clip_of(r), r["source_fps"], r["consume"]) for r in rows}, key=lambda c: _case_order(*c))
    readers = [r for r in ALL_READERS if any(x["reader"] == r for x in rows)]
    ns = sorted({r["streams"] for r in rows})
    if not rows:
        return
    fig, axes = plt.subplots(len(cases), 2, figsize=(13, 4.2 * len(cases)), squeeze=False)
    for i, (kind, fps, consume) in enumerate(cases):
        idx = {(r["reader"], r["streams"]): r for r in rows
               if (clip_of(r), r["source_fps"], r["consume"]) == (kind, fps, consume)}
        present = [r for r in readers if any((r, n) in idx for n in ns)]
        width = 0.8 / max(1, len(present))
        # Every frame taken: CPU per frame compares readers; a few frames taken: CPU per second.
        metric, label = (("cpu_ms_per_frame", "process CPU per delivered frame (ms)") if consume == "all"
                         else ("cpu_ms_per_s", "process CPU per second (ms)"))
        ax_cpu, ax_lat = axes[i]
        for j, reader in enumerate(present):
            xs = [k + (j - (len(present) - 1) / 2) * width for k in range(len(ns))]
            cpu = [get(idx.get((reader, n)), f"{metric}.median") for n in ns]
            cpu_min = [get(idx.get((reader, n)), f"{metric}.min") for n in ns]
            ax_cpu.bar(xs, [c or 0 for c in cpu], width, label=reader)
            ax_cpu.scatter(xs, [c if c is not None else float("nan") for c in cpu_min],
                           marker="_", color="k", s=60, zorder=3)
            if reader == BASELINE:
                continue
            p50 = [get(idx.get((reader, n)), "lat_p50_ms.median") for n in ns]
            p95 = [get(idx.get((reader, n)), "lat_p95_ms.median") for n in ns]
            ax_lat.bar(xs, [p or 0 for p in p50], width, label=reader)
            ax_lat.scatter(xs, [p if p is not None else float("nan") for p in p95],
                           marker="v", color="k", s=18, zorder=3)
        for ax, title in ((ax_cpu, label),
                          (ax_lat, "latency p50 (bar) and p95 (▼), ms")):
            ax.set_xticks(range(len(ns)))
            ax.set_xticklabels([f"N={n}" for n in ns])
            ax.set_title(f"{title}\n{case_title(kind, fps, consume)}", fontsize=9)
            ax.grid(axis="y", alpha=0.3)
        ax_cpu.legend(fontsize=8)
        ax_lat.legend(fontsize=8)
    m = data["machine"]
    fig.suptitle(f"{m.get('cpu_model')}, {m.get('cpus')} CPUs — {data['date']} — "
                 f"{data['settings']['mode']} mode (bars: median; CPU '_' marks: min)",
                 fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="one short repetition, short phases, 20 fps")
    ap.add_argument("--cases", default=None,
                    help="FPS:TAKE pairs, TAKE 'all' or frames per second per stream "
                         "(default 20:all,30:all,20:5; quick: 20:all,20:5)")
    ap.add_argument("--clips", default=None,
                    help=f"clips, of {','.join(CLIP_TITLES)} (default all; quick: light,camera720)")
    ap.add_argument("--readers", default=",".join(ALL_READERS))
    ap.add_argument("--streams", default="1,4,8", help="comma-separated N values")
    ap.add_argument("--reps", type=int, default=None, help="repetitions (default 3; quick: 1)")
    ap.add_argument("--warmup", type=float, default=None)
    ap.add_argument("--quiet", type=float, default=None)
    ap.add_argument("--busy", type=float, default=None)
    ap.add_argument("--calibrate", type=float, default=None)
    ap.add_argument("--open-timeout", type=float, default=None,
                    help="seconds for every stream to deliver a frame (default 20; quick: 10)")
    ap.add_argument("--out-dir", default=os.path.join(HERE, "results"))
    cfg = ap.parse_args(argv)

    quick = cfg.quick
    defaults = dict(cases="20:all,20:5" if quick else "20:all,30:all,20:5", reps=1 if quick else 3,
                    clips="light,camera720" if quick else ",".join(CLIP_TITLES),
                    warmup=1.0 if quick else 2.0, quiet=3.0 if quick else 10.0,
                    busy=3.0 if quick else 10.0, calibrate=0.5 if quick else 1.0,
                    open_timeout=10.0 if quick else 20.0)
    for k, v in defaults.items():
        if getattr(cfg, k) is None:
            setattr(cfg, k, v)
    readers = [r for r in cfg.readers.split(",") if r]
    unknown = set(readers) - set(ALL_READERS)
    if unknown:
        ap.error(f"unknown readers: {sorted(unknown)}")
    ns = [int(x) for x in cfg.streams.split(",") if x]
    kinds = [k for k in cfg.clips.split(",") if k]
    if set(kinds) - set(CLIP_TITLES):
        ap.error(f"unknown clips: {sorted(set(kinds) - set(CLIP_TITLES))}")
    cases = []
    for item in cfg.cases.split(","):
        fps, _, take = item.partition(":")
        take = take or "all"
        if take != "all":
            take = f"{float(take):g}"
        cases.append((int(fps), take))
    fpss = sorted({fps for fps, _ in cases})

    os.makedirs(cfg.out_dir, exist_ok=True)
    raw_dir = os.path.join(cfg.out_dir, "raw")
    os.makedirs(raw_dir, exist_ok=True)

    data = {"date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
            "machine": machine(),
            "settings": {"mode": "quick" if quick else "full", "readers": readers, "streams": ns, "clips": kinds,
                         "cases": [f"{fps}:{take}" for fps, take in cases], "reps": cfg.reps,
                         "warmup": cfg.warmup, "quiet": cfg.quiet, "busy": cfg.busy, "calibrate": cfg.calibrate,
                         "open_timeout": cfg.open_timeout},
            "runs": []}
    t_start = time.monotonic()
    for kind, fps in itertools.product(kinds, fpss):
        log(f"encoding the {fps} fps {kind} clip (cached in {raw_dir})")
        subprocess.run([PY, os.path.join(HERE, "rtsp_server.py"), "--fps", str(fps), "--kind", kind,
                        "--clip", clip_file(raw_dir, kind, fps), "--encode-only"],
                       check=True, timeout=600)

    def case_readers(take):
        return [r for r in READERS_FOR["all" if take == "all" else "rate"] if r in readers]

    total = len(kinds) * sum(cfg.reps * len(ns) * len(case_readers(take)) for _, take in cases)
    done = 0
    for kind, (fps, take) in itertools.product(kinds, cases):
        chosen = case_readers(take)
        for rep in range(cfg.reps):
            for n in ns:
                k = (rep + ns.index(n)) % max(1, len(chosen))
                order = chosen[k:] + chosen[:k]  # rotate so no reader always goes first
                for reader in order:
                    done += 1
                    t = time.monotonic()
                    res = run_case(reader, n, kind, fps, take, rep, cfg, raw_dir)
                    data["runs"].append(res)
                    status = ("skipped" if res.get("skipped") else
                              "ok" if res.get("ok") else f"problem: {res.get('errors')}")
                    log(f"[{done}/{total}] {kind} fps={fps} take={take} rep={rep} N={n} {reader}: "
                        f"{time.monotonic() - t:.1f}s {status}")
    data["elapsed_s"] = round(time.monotonic() - t_start, 1)
    data["summary"] = summarize(data["runs"])

    with open(os.path.join(cfg.out_dir, "results.json"), "w") as f:
        json.dump(data, f, indent=1)
    with open(os.path.join(cfg.out_dir, "results.md"), "w") as f:
        f.write(markdown(data))
    plot(data, os.path.join(cfg.out_dir, "plot.png"))
    log(f"done in {data['elapsed_s']} s: {cfg.out_dir}/results.{{json,md}}, plot.png")


if __name__ == "__main__":
    main()
