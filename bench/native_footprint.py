"""Size of the installed native code and the time to import all seven modules after numpy and
PyGObject with GStreamer (each import in a fresh interpreter; median of --runs).

    python bench/native_footprint.py --runs 30
"""

import argparse
import pathlib
import statistics
import subprocess
import sys

IMPORT_ALL = """
import time, numpy, gi
gi.require_version("Gst", "1.0")
from gi.repository import Gst
Gst.init(None)
start = time.perf_counter()
import vantle.logger, vantle.utils.timing, vantle.loop_host, vantle.feed_contract
import vantle.utils.gstreamer, vantle.builders, vantle.live_feed
print(time.perf_counter() - start)
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=30)
    args = parser.parse_args()
    import vantle

    package = pathlib.Path(vantle.__file__).parent
    libraries = sorted(package.rglob("*.so"))
    for library in libraries:
        print(f"{library.stat().st_size:>10,} B  {library.relative_to(package)}")
    print(f"{sum(library.stat().st_size for library in libraries):>10,} B  in all")
    times = [float(subprocess.run([sys.executable, "-c", IMPORT_ALL], capture_output=True, text=True,
                                  check=True).stdout) for _ in range(args.runs)]
    print(f"import of the seven modules: median {statistics.median(times) * 1000:.1f} ms over {args.runs} runs")


if __name__ == "__main__":
    main()
