"""vantle's build backend: scikit-build-core, plus PyGObject where the build needs its own copy.

The build imports the built modules to generate their type stubs, and they import PyGObject.
Where the environment being installed into has one (Debian's python3-gi, seen through the
system site packages), CMakeLists.txt lets the build import that one; elsewhere the build gets
PyGObject as a build requirement, at the version vantle depends on.
"""

import pathlib
import subprocess
import sys
import tomllib

from scikit_build_core import build as _scikit_build
from scikit_build_core.build import *  # noqa: F401,F403 (the hooks this backend does not change)


def _pygobject_requirement():
    # -I: the interpreter's own environment, without the isolated build's additions.
    found = subprocess.run([sys.executable, "-I", "-c", "import gi"], capture_output=True).returncode == 0
    if found:
        return []
    project = tomllib.loads((pathlib.Path(__file__).parents[1] / "pyproject.toml").read_text())["project"]
    return [d for d in project["dependencies"] if d.lower().startswith("pygobject")]


def get_requires_for_build_wheel(config_settings=None):
    return _scikit_build.get_requires_for_build_wheel(config_settings) + _pygobject_requirement()


def get_requires_for_build_editable(config_settings=None):
    return _scikit_build.get_requires_for_build_editable(config_settings) + _pygobject_requirement()
