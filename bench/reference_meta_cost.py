"""What stamping capture times costs: the CPU time per frame of the RTSP receiving chain
(rtspsrc, depayloader, avdec_h264) with and without rtpbin's reference-timestamp meta, which
every reader now asks for. The reader's own part, one meta lookup per decoded frame, is
negligible beside it.

    python bench/reference_meta_cost.py                 # 3 rounds of 20 s each way: about 3 minutes
    python bench/reference_meta_cost.py --rounds 5 --seconds 30

Runs bench/rtsp_server.py (one 1280x720 H.264 mount at 20 fps, encoded once up front) and, in
turns, gst-launch-1.0 with the meta off and on, so that load from elsewhere hits both alike;
prints each run's CPU milliseconds per frame and the medians.
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CHAIN = "rtspsrc location={url} latency=200 add-reference-timestamp-meta={meta} ! rtph264depay ! avdec_h264 ! " \
        "fakesink sync=false"


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run(url, meta, seconds, fps):
    before = children_cpu()
    subprocess.run(["timeout", "-s", "INT", str(seconds), "gst-launch-1.0", "-q", "-e",
                    *CHAIN.format(url=url, meta="true" if meta else "false").split()],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    return (children_cpu() - before) * 1000 / (seconds * fps)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=20)
    args = parser.parse_args()
    fps = 20
    with tempfile.TemporaryDirectory() as scratch:
        server = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "rtsp_server.py"), "--fps", str(fps), "--lifetime", "3600",
             "--clip", os.path.join(scratch, "clip.bin")], stdout=subprocess.PIPE, text=True)
        try:
            url = json.loads(server.stdout.readline())["url"] + "/stream0"
            results = {False: [], True: []}
            for _ in range(args.rounds):
                for meta in (False, True):
                    results[meta].append(run(url, meta, args.seconds, fps))
                    print(f"meta {'on ' if meta else 'off'}: {results[meta][-1]:.3f} CPU ms per frame", flush=True)
        finally:
            server.terminate()
            server.wait(10)
    off, on = statistics.median(results[False]), statistics.median(results[True])
    print(f"median: off {off:.3f}, on {on:.3f} CPU ms per frame ({(on - off) / off * 100:+.1f} %)")


if __name__ == "__main__":
    main()
