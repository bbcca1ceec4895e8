"""Instructions per frame of the BGR conversion: videoconvert (the chain before the reader converted
frames itself) against the reader's own conversion of the decoder's I420, under valgrind's
callgrind, whose counts repeat from run to run and do not depend on what else the machine runs.

    python bench/convert_cost.py                 # 1280x720, 20 frames: a few minutes
    python bench/convert_cost.py --width 640 --height 360 --frames 10

Both paths run in a LiveFeed with a launch string over the same encoded clip, and the script
reads every frame it can. Per call it reports the inclusive instructions of
  gst_video_converter_frame  videoconvert's whole conversion to BGR (every decoded frame)
  CopyPlane                  the reader's stride-aware copy of videoconvert's BGR (frames read)
  to_bgr                     the reader's conversion of the decoded I420 (frames read)
Installed, libvantle.so carries no symbols: the children run a copy of the package holding the
unstripped library of the CMake build folder (see convert_speed.py, which also times the reader's
conversion of I420 and NV12).
"""

import argparse
import glob
import importlib.util
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import convert_speed  # noqa: E402
FUNCTIONS = ["gst_video_converter_frame", "CopyPlane", "vantle::convert::to_bgr(_GstVideoFrame const&, unsigned char*)"]
PATHS = {
    "videoconvert": "filesrc location={url} ! h264parse ! avdec_h264 ! videoconvert ! video/x-raw,format=BGR ! "
                    "appsink name=main_sink sync=false",
    "native": "filesrc location={url} ! h264parse ! avdec_h264 ! appsink name=main_sink sync=false",
}


def encode(path, width, height, frames):
    subprocess.run(
        ["gst-launch-1.0", "-q", "videotestsrc", f"num-buffers={frames}", "pattern=smpte", "horizontal-speed=6",
         "!", f"video/x-raw,format=I420,width={width},height={height},framerate=20/1", "!", "x264enc",
         "speed-preset=ultrafast", "key-int-max=40", "!", "video/x-h264,stream-format=byte-stream", "!",
         "filesink", f"location={path}"], check=True, timeout=120)


def read_all(path, clip, frames):
    """The child: reads every frame of one path until the clip's frames went by once."""
    from vantle import loop_host
    from vantle.live_feed import LiveFeed

    loop_host.start()
    seen = set()
    with LiveFeed(clip, latency=0, runtime_options={}, pipeline_str=PATHS[path]) as feed:
        deadline = time.monotonic() + 600
        while len(seen) < frames and time.monotonic() < deadline:
            if feed.new_frame_event.wait(1):
                feed.new_frame_event.clear()
                record = feed.latest_frame
                if record is not None:
                    seen.add(record[0])


def inclusive(out_file, function):
    """Instructions in `function` and its callees, from a callgrind output."""
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out_file],
                          capture_output=True, text=True, check=True).stdout
    for line in text.splitlines():
        if re.search(rf":{re.escape(function)}( |$)", line):
            return int(line.split()[0].replace(",", ""))
    return 0


def calls(out_file, function):
    """How often `function` was called: the sum of the call records whose callee it is."""
    total, callee_matches = 0, False
    names = {}  # callgrind names a function in full once, then by its number alone
    with open(out_file) as f:
        for line in f:
            m = re.match(r"c?fn=\((\d+)\)(?: (.*))?", line.strip())
            if m:
                if m.group(2):
                    names[m.group(1)] = m.group(2)
                callee_matches = line.startswith("cfn=") and names.get(m.group(1)) == function
            elif line.startswith("calls=") and callee_matches:
                total += int(line.split("=")[1].split()[0])
                callee_matches = False
    return total


def measure(path, clip, frames, workdir, package):
    out = os.path.join(workdir, f"callgrind.{path}")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--separate-threads=no",
                    sys.executable, __file__, "--child", path, "--clip", clip, "--frames", str(frames)],
                   check=True, timeout=1800, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   env=dict(os.environ, PYTHONPATH=package))
    result = {}
    for function in FUNCTIONS:
        n = calls(out, function)
        if n:
            result[function] = (inclusive(out, function) / n, n)
    return result


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--width", type=int, default=1280)
    ap.add_argument("--height", type=int, default=720)
    ap.add_argument("--frames", type=int, default=20)
    ap.add_argument("--child", choices=sorted(PATHS))
    ap.add_argument("--clip")
    args = ap.parse_args(argv)
    if args.child:
        read_all(args.child, args.clip, args.frames)
        return
    with tempfile.TemporaryDirectory() as workdir:
        clip = os.path.join(workdir, "clip.h264")
        encode(clip, args.width, args.height, args.frames)
        package = convert_speed.package_with_symbols(
            os.path.dirname(os.path.dirname(importlib.util.find_spec("vantle").origin)),
            next(iter(glob.glob(os.path.join(ROOT, "build", "*", "libvantle.so")))), workdir)
        print(f"{args.width}x{args.height}, {args.frames} frames; instructions per call (calls)")
        for path in PATHS:
            for function, (per_call, n) in measure(path, clip, args.frames, workdir, package).items():
                print(f"  {path:12s} {function.split('(')[0]:26s} {per_call / 1e6:8.2f} M  ({n})")
        for leftover in glob.glob(os.path.join(workdir, "callgrind.*")):
            os.unlink(leftover)


if __name__ == "__main__":
    main()
