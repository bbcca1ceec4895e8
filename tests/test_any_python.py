"""vantle installs into a Python that cannot see Debian's python3-gi, from the checkout and as a wheel.

Runs scripts/check-any-python.sh (several minutes: PyGObject and vantle build from source), so
only with VANTLE_SLOW_TESTS=1. The interpreter is VANTLE_ANY_PYTHON, else the python3 first on PATH.
"""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PYTHON = os.environ.get("VANTLE_ANY_PYTHON") or shutil.which("python3")


@pytest.mark.slow
@pytest.mark.skipif(os.environ.get("VANTLE_SLOW_TESTS") != "1", reason="builds from source for minutes: VANTLE_SLOW_TESTS=1")
@pytest.mark.skipif(PYTHON is None or os.path.realpath(PYTHON).startswith("/usr/"),
                    reason="needs a CPython other than Debian's: VANTLE_ANY_PYTHON=/path/to/python3")
def test_pip_install_and_the_wheel_read_a_demo_frame_without_debian_gi():
    child = subprocess.run(["bash", str(ROOT / "scripts" / "check-any-python.sh"), PYTHON],
                           capture_output=True, text=True, timeout=3600)
    assert child.returncode == 0, child.stdout[-3000:] + child.stderr[-3000:]
    # One frame from the venv pip installed into, one from the venv the wheel went into.
    assert child.stdout.count("frame (360, 640, 3) uint8") >= 2, child.stdout[-3000:]
