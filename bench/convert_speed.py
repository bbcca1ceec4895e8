"""Cost of the reader's conversion of decoded I420 and NV12 frames to BGR, per frame: milliseconds of
the first `latest_frame` read of each frame (which converts it), and, with --callgrind, the
instructions spent in the conversion itself under valgrind (counts repeat from run to run and do
not depend on what else the machine runs; valgrind offers AVX2 but no AVX-512).

    python bench/convert_speed.py                       # 1280x720 and 1920x1080, I420 and NV12
    python bench/convert_speed.py --callgrind           # the same, also counting instructions
    python bench/convert_speed.py --package /tmp/old    # another build: a folder holding vantle/

Installed, the native library carries no symbols, so --callgrind counts in a copy of the package
whose libvantle.so is the unstripped one from the CMake build folder (--library to pick another).
The frames come from raw files through rawvideoparse, paced at 20 fps so that each one is read.
"""

import argparse
import glob
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FRAMES = 30
CONVERSION = "vantle::convert::to_bgr*"


def write_clip(path, fmt, width, height, frames):
    """Noise over a gradient; conversion cost does not depend on the picture."""
    rng = np.random.default_rng(1)
    size = width * height + 2 * ((width + 1) // 2) * ((height + 1) // 2)
    ramp = np.resize(np.arange(size, dtype=np.uint32) % 251, size).astype(np.uint8)
    with open(path, "wb") as f:
        for _ in range(frames):
            f.write((ramp + rng.integers(0, 8, size, dtype=np.uint8)).tobytes())


def read_frames(clip, fmt, width, height):
    """The child: reads each frame once, timing the read that converts it."""
    from vantle import loop_host
    from vantle.live_feed import LiveFeed

    loop_host.start()
    pipeline = (f"filesrc location={{url}} ! rawvideoparse format={fmt.lower()} width={width} height={height} "
                "framerate=20/1 colorimetry=bt709 ! identity sync=true ! appsink name=main_sink")
    times = []
    with LiveFeed(clip, latency=0, runtime_options={}, pipeline_str=pipeline) as feed:
        deadline = time.monotonic() + 300
        while len(times) < FRAMES and time.monotonic() < deadline:
            if not feed.new_frame_event.wait(5 if times else 60):
                break  # the clip ended
            feed.new_frame_event.clear()
            started = time.perf_counter()
            record = feed.latest_frame
            elapsed = time.perf_counter() - started
            if record is not None:
                times.append(elapsed)
        converted = feed._frames_converted
    print(json.dumps({"times": times, "converted": converted}))


def package_with_symbols(package_parent, library, workdir):
    """A copy of the vantle package whose native library is `library` (unstripped)."""
    target = os.path.join(workdir, "package")
    shutil.copytree(os.path.join(package_parent, "vantle"), os.path.join(target, "vantle"), symlinks=True)
    shutil.copy(library, os.path.join(target, "vantle", "libvantle.so"))
    return target


def collected_instructions(out_file):
    """The instructions callgrind collected (inside the conversion only, by --toggle-collect)."""
    with open(out_file) as f:
        for line in f:
            if line.startswith("summary:") or line.startswith("totals:"):
                return int(line.split()[1])
    return 0


def run_child(package_parent, clip, fmt, width, height, callgrind_out=None):
    command = [sys.executable, __file__, "--child", fmt, "--clip", clip, "--width", str(width),
               "--height", str(height)]
    if callgrind_out:
        command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={callgrind_out}",
                   f"--toggle-collect={CONVERSION}", "--separate-threads=no"] + command
    env = dict(os.environ, PYTHONPATH=package_parent)
    result = subprocess.run(command, check=True, capture_output=True, text=True, timeout=1800, cwd="/", env=env)
    return json.loads(result.stdout.strip().splitlines()[-1])


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="1280x720,1920x1080")
    ap.add_argument("--formats", default="I420,NV12")
    ap.add_argument("--rounds", type=int, default=3, help="timed runs per case (the median of all reads)")
    ap.add_argument("--callgrind", action="store_true")
    ap.add_argument("--package", help="folder holding the vantle package to measure (default: the installed one)")
    ap.add_argument("--library", help="unstripped libvantle.so for --callgrind (default: the CMake build's)")
    ap.add_argument("--child")
    ap.add_argument("--clip")
    ap.add_argument("--width", type=int)
    ap.add_argument("--height", type=int)
    args = ap.parse_args(argv)
    if args.child:
        read_frames(args.clip, args.child, args.width, args.height)
        return

    package_parent = args.package
    if package_parent is None:
        import importlib.util
        package_parent = os.path.dirname(os.path.dirname(importlib.util.find_spec("vantle").origin))
    with tempfile.TemporaryDirectory() as workdir:
        symbols = None
        if args.callgrind:
            library = args.library or next(iter(glob.glob(os.path.join(ROOT, "build", "*", "libvantle.so"))), None)
            if library is None:
                sys.exit("no unstripped libvantle.so: build first, or pass --library")
            symbols = package_with_symbols(package_parent, library, workdir)
        print(f"{'size':>10} {'format':6} {'ms/frame':>9} {'reads':>5}" + ("  instructions/frame" if symbols else ""))
        for size in args.sizes.split(","):
            width, height = map(int, size.split("x"))
            for fmt in args.formats.split(","):
                clip = os.path.join(workdir, f"clip.{fmt.lower()}")
                write_clip(clip, fmt, width, height, FRAMES)
                times = []
                for _ in range(args.rounds):
                    times += run_child(package_parent, clip, fmt, width, height)["times"]
                line = f"{size:>10} {fmt:6} {statistics.median(times) * 1e3:9.3f} {len(times):5d}"
                if symbols:
                    out = os.path.join(workdir, "callgrind.out")
                    converted = run_child(symbols, clip, fmt, width, height, out)["converted"]
                    line += f"  {collected_instructions(out) / max(converted, 1) / 1e6:8.3f} M ({converted} frames)"
                print(line, flush=True)
                os.unlink(clip)


if __name__ == "__main__":
    main()
