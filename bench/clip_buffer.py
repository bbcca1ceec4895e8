"""What keeping the encoded ring buffer for clips costs while no clip is asked for.

Readers of N 1280x720 H.264 streams (bench/rtsp_server.py: 20 fps, 3 Mbit/s, a keyframe every
2 s) run in a fresh process per phase, without and with keep_encoded; the phases alternate
(--reps times each) so that other load on the machine hits both alike. Each phase reports the
process's CPU time per stream over --seconds after a warm-up, and the ring's figures: bytes held
against bitrate x pre-roll, and seconds from its oldest keyframe. Finally one clip is saved and
ffprobe's line for it printed.

    python bench/clip_buffer.py --streams 4 --keep 10 --seconds 20 --reps 3
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BITRATE_BPS = 3_000_000
GOP_SECONDS = 2.0


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def child(args):
    from vantle import loop_host
    from vantle.live_feed import LiveFeed

    loop_host.start()
    keep = args.keep if args.keep > 0 else None
    feeds = [LiveFeed(f"{args.url}/stream{k}", latency=200, runtime_options={}, keep_encoded=keep)
             for k in range(args.streams)]
    try:
        for feed in feeds:
            if feed.next_frame(0, timeout=30) is None:
                raise SystemExit("a stream sent no frame")
        time.sleep(args.warmup)
        start_cpu, start_wall = cpu_seconds(), time.monotonic()
        frames = [feed.frame_number for feed in feeds]
        time.sleep(args.seconds)
        cpu, wall = cpu_seconds() - start_cpu, time.monotonic() - start_wall
        delivered = sum(feed.frame_number - first for feed, first in zip(feeds, frames)) / wall / len(feeds)
        report = {"cpu_share_per_stream": cpu / wall / len(feeds), "fps": delivered, "rss_kib": rss_kib()}
        if keep:
            rings = [feed.encoded_buffer() for feed in feeds]
            report["ring_bytes"] = statistics.mean(ring["bytes"] for ring in rings)
            report["ring_seconds"] = statistics.mean(ring["seconds"] for ring in rings)
            if args.clip:
                clip = feeds[0].save_clip(args.clip, before=5.0, after=2.0).wait(timeout=60)
                report["clip"] = {"frames": clip.frames, "duration": clip.duration, "notes": clip.notes}
        print(json.dumps(report), flush=True)
    finally:
        for feed in feeds:
            feed.close()
        for feed in feeds:
            feed.wait_until_closed()


def run_phase(args, url, keep, clip=""):
    command = [sys.executable, __file__, "--child", "--url", url, "--streams", str(args.streams), "--keep", str(keep),
               "--seconds", str(args.seconds), "--warmup", str(args.warmup)]
    if clip:
        command += ["--clip", clip]
    out = subprocess.run(command, capture_output=True, text=True, check=True, timeout=args.seconds + 120)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--streams", type=int, default=4)
    parser.add_argument("--keep", type=float, default=10.0, help="seconds of pre-roll kept (keep_encoded)")
    parser.add_argument("--seconds", type=float, default=20.0, help="length of each measured phase")
    parser.add_argument("--warmup", type=float, default=5.0)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--url", help=argparse.SUPPRESS)
    parser.add_argument("--clip", default="", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args)
        return

    with tempfile.TemporaryDirectory() as folder:
        server = subprocess.Popen([sys.executable, os.path.join(HERE, "rtsp_server.py"), "--mounts", str(args.streams),
                                   "--fps", "20", "--clip", os.path.join(folder, "clip20.bin"), "--lifetime", "3600"],
                                  stdout=subprocess.PIPE, text=True)
        try:
            url = json.loads(server.stdout.readline())["url"]
            results = {"off": [], "on": []}
            for rep in range(args.reps):
                for mode in ("off", "on"):
                    results[mode].append(run_phase(args, url, args.keep if mode == "on" else 0))
                    print(f"rep {rep + 1} {mode}: {json.dumps(results[mode][-1])}", flush=True)
            clip_path = os.path.join(folder, "sample.mp4")
            sample = run_phase(args, url, args.keep, clip=clip_path)
            probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                    "stream=codec_name,profile,width,height,r_frame_rate,nb_frames,duration,bit_rate",
                                    "-of", "compact", clip_path], capture_output=True, text=True)
        finally:
            server.terminate()
            server.wait(10)

    off = [r["cpu_share_per_stream"] * 100 for r in results["off"]]
    on = [r["cpu_share_per_stream"] * 100 for r in results["on"]]
    print(f"\n{args.streams} streams of 1280x720 H.264, 20 fps, {BITRATE_BPS / 1e6:g} Mbit/s, "
          f"keyframe every {GOP_SECONDS:g} s; {args.reps} alternating phases of {args.seconds:g} s")
    # The server's delivery rate sags when the machine is busy: CPU per delivered frame compares
    # phases fairly, and at 20 fps gives the share of a core.
    off_ms = [r["cpu_share_per_stream"] / r["fps"] * 1000 for r in results["off"]]
    on_ms = [r["cpu_share_per_stream"] / r["fps"] * 1000 for r in results["on"]]
    added = statistics.mean(on_ms) - statistics.mean(off_ms)
    print(f"CPU per delivered frame: without ring {statistics.mean(off_ms):.3f} ms, with {statistics.mean(on_ms):.3f} ms "
          f"(means); added {added:+.3f} ms per frame = {added * 20 / 10:+.2f} % of one core per stream at 20 fps")
    print(f"CPU per stream, % of one core: without ring median {statistics.median(off):.2f} "
          f"({min(off):.2f}-{max(off):.2f}), with keep_encoded={args.keep:g} median {statistics.median(on):.2f} "
          f"({min(on):.2f}-{max(on):.2f}); difference of medians {statistics.median(on) - statistics.median(off):+.2f}")
    ring = statistics.mean(r["ring_bytes"] for r in results["on"])
    expected = BITRATE_BPS / 8 * args.keep
    print(f"ring per stream: {ring / 1e6:.2f} MB held over {statistics.mean(r['ring_seconds'] for r in results['on']):.1f} s; "
          f"bitrate x pre-roll = {expected / 1e6:.2f} MB, + one GOP = {(expected + BITRATE_BPS / 8 * GOP_SECONDS) / 1e6:.2f} MB")
    rss_off = statistics.median(r["rss_kib"] for r in results["off"])
    rss_on = statistics.median(r["rss_kib"] for r in results["on"])
    print(f"process RSS median: {rss_off / 1024:.1f} MiB without, {rss_on / 1024:.1f} MiB with "
          f"({(rss_on - rss_off) / 1024 / args.streams:+.2f} MiB per stream)")
    print(f"sample clip (before=5, after=2): {json.dumps(sample.get('clip'))}")
    print(f"ffprobe: {probe.stdout.strip() or probe.stderr.strip()}")


if __name__ == "__main__":
    main()
