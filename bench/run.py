"""Run the reader benchmark and write bench/results/{results.json,results.md,plot.png}.

    python bench/run.py --quick     # about 3-4 minutes: 1 repetition, short phases
    python bench/run.py             # full: 3 repetitions, 10 s phases, 20 and 30 fps

Every (source fps, repetition, N, reader) gets a fresh RTSP server process
(bench/rtsp_server.py, N mounts) and a fresh reader process (bench/run_one.py).
Within one repetition and N, the readers run back to back (in a rotated
order), so ratios between readers are taken between neighbouring runs.
"""

import argparse
import datetime
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
ALL_READERS = ["vantle", "opencv", "pyav", "gst-python", "gst-floor"]
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


def start_server(mounts, fps, clip, times_file, lifetime):
    proc = subprocess.Popen(
        [PY, os.path.join(HERE, "rtsp_server.py"), "--mounts", str(mounts), "--fps", str(fps),
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


def run_case(reader, n, fps, rep, cfg, raw_dir):
    tag = f"fps{fps}-n{n}-rep{rep}-{reader}"
    out = os.path.join(raw_dir, f"{tag}.json")
    times_file = os.path.join(raw_dir, f"times-{os.getpid()}.f64")
    budget = (cfg.calibrate + cfg.open_timeout + cfg.warmup + cfg.quiet + cfg.busy + 40)
    server, info = start_server(n, fps, os.path.join(raw_dir, f"clip{fps}.bin"), times_file,
                                budget + 30)
    try:
        cmd = [PY, os.path.join(HERE, "run_one.py"), "--reader", reader, "--url", info["url"],
               "--streams", str(n), "--times-file", times_file,
               "--clip-len", str(info["clip_len"]), "--source-fps", str(fps),
               "--open-timeout", str(cfg.open_timeout), "--warmup", str(cfg.warmup),
               "--quiet", str(cfg.quiet), "--busy", str(cfg.busy),
               "--calibrate", str(cfg.calibrate), "--out", out]
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
            res = {"reader": reader, "streams": n, "source_fps": fps, "ok": False,
                   "errors": [f"no result (exit {rc}); see {tag}.log"]}
    finally:
        stop_server(server)
        try:
            os.unlink(times_file)
        except OSError:
            pass
    res["rep"] = rep
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


def summarize(runs):
    # ratios against the floor of the same fps, repetition and N
    floor = {(r["source_fps"], r["rep"], r["streams"]): r for r in runs if r["reader"] == BASELINE}
    for r in runs:
        base = floor.get((r["source_fps"], r["rep"], r["streams"]))
        mine, theirs = get(r, "quiet.cpu_ms_per_frame"), get(base, "quiet.cpu_ms_per_frame")
        r["cpu_vs_floor"] = round(mine / theirs, 3) if mine and theirs else None
    groups = {}
    for r in runs:
        groups.setdefault((r["source_fps"], r["streams"], r["reader"]), []).append(r)
    summary = []
    for (fps, n, reader), rs in sorted(groups.items(),
                                       key=lambda kv: (kv[0][0], kv[0][1],
                                                       _order(kv[0][2]))):
        row = {"source_fps": fps, "streams": n, "reader": reader, "reps": len(rs),
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
    by_fps = {}
    for row in data["summary"]:
        by_fps.setdefault(row["source_fps"], []).append(row)
    for fps, rows in sorted(by_fps.items()):
        lines += [f"## Source at {fps} fps", "",
                  "| reader | N | fps/stream | CPU ms/frame | CPU × floor | CPU cores "
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
                f"| {cell(row, 'cpu_vs_floor', '{:.2f}', show_min=False)} "
                f"| {cell(row, 'cpu_cores', '{:.2f}', show_min=False)} | {lat} "
                f"| {cell(row, 'open_all_s', '{:.2f}')} "
                f"| {cell(row, 'busy_blocked_share', '{:.0f}', 100)} "
                f"| {cell(row, 'busy_loop_vs_alone', '{:.2f}', show_min=False)} "
                f"| {cell(row, 'busy_fps')} | {blat} |")
        lines.append("")
    problems = [r for r in data["summary"] if r.get("errors")]
    if problems:
        lines += ["## Errors", ""]
        for r in problems:
            lines.append(f"- {r['reader']} N={r['streams']} @{r['source_fps']} fps: "
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
    fpss = sorted({r["source_fps"] for r in rows})
    readers = [r for r in ALL_READERS if any(x["reader"] == r for x in rows)]
    ns = sorted({r["streams"] for r in rows})
    if not rows:
        return
    fig, axes = plt.subplots(len(fpss), 2, figsize=(12, 4.2 * len(fpss)), squeeze=False)
    width = 0.8 / max(1, len(readers))
    for i, fps in enumerate(fpss):
        idx = {(r["reader"], r["streams"]): r for r in rows if r["source_fps"] == fps}
        ax_cpu, ax_lat = axes[i]
        for j, reader in enumerate(readers):
            xs = [k + (j - (len(readers) - 1) / 2) * width for k in range(len(ns))]
            cpu = [get(idx.get((reader, n)), "cpu_ms_per_frame.median") for n in ns]
            cpu_min = [get(idx.get((reader, n)), "cpu_ms_per_frame.min") for n in ns]
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
        for ax, title in ((ax_cpu, "process CPU per delivered frame (ms)"),
                          (ax_lat, "latency p50 (bar) and p95 (▼), ms")):
            ax.set_xticks(range(len(ns)))
            ax.set_xticklabels([f"N={n}" for n in ns])
            ax.set_title(f"{title} — source {fps} fps")
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
    ap.add_argument("--quick", action="store_true", help="one short repetition, 20 fps only")
    ap.add_argument("--readers", default=",".join(ALL_READERS))
    ap.add_argument("--streams", default="1,4,8", help="comma-separated N values")
    ap.add_argument("--fps", default=None, help="source fps values (default 20,30; quick: 20)")
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
    defaults = dict(fps="20" if quick else "20,30", reps=1 if quick else 3,
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
    fpss = [int(x) for x in cfg.fps.split(",") if x]

    os.makedirs(cfg.out_dir, exist_ok=True)
    raw_dir = os.path.join(cfg.out_dir, "raw")
    os.makedirs(raw_dir, exist_ok=True)

    data = {"date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
            "machine": machine(),
            "settings": {"mode": "quick" if quick else "full", "readers": readers, "streams": ns,
                         "source_fps": fpss, "reps": cfg.reps, "warmup": cfg.warmup,
                         "quiet": cfg.quiet, "busy": cfg.busy, "calibrate": cfg.calibrate,
                         "open_timeout": cfg.open_timeout},
            "runs": []}
    t_start = time.monotonic()
    for fps in fpss:
        log(f"encoding the {fps} fps clip (cached in {raw_dir})")
        subprocess.run([PY, os.path.join(HERE, "rtsp_server.py"), "--fps", str(fps),
                        "--clip", os.path.join(raw_dir, f"clip{fps}.bin"), "--encode-only"],
                       check=True, timeout=300)
    total = len(fpss) * cfg.reps * len(ns) * len(readers)
    done = 0
    for fps in fpss:
        for rep in range(cfg.reps):
            for n in ns:
                k = (rep + ns.index(n)) % len(readers)
                order = readers[k:] + readers[:k]  # rotate so no reader always goes first
                for reader in order:
                    done += 1
                    t = time.monotonic()
                    res = run_case(reader, n, fps, rep, cfg, raw_dir)
                    data["runs"].append(res)
                    status = ("skipped" if res.get("skipped") else
                              "ok" if res.get("ok") else f"problem: {res.get('errors')}")
                    log(f"[{done}/{total}] fps={fps} rep={rep} N={n} {reader}: "
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
