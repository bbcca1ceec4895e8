"""Exits 0 when every requirement in the given requirements files is installed in this interpreter.

    python scripts/requirements_met.py FILE...

Version bounds and environment markers count; a missing `packaging` counts as unmet (pip brings
it in with the first install).
"""

import sys
from importlib.metadata import PackageNotFoundError, version


def unmet(path):
    from packaging.requirements import Requirement

    with open(path, encoding="utf-8") as lines:
        for line in lines:
            text = line.split("#", 1)[0].strip()
            if not text:
                continue
            requirement = Requirement(text)
            if requirement.marker is not None and not requirement.marker.evaluate():
                continue
            try:
                installed = version(requirement.name)
            except PackageNotFoundError:
                yield f"{requirement.name}: not installed"
                continue
            if not requirement.specifier.contains(installed, prereleases=True):
                yield f"{requirement.name} {installed}: needs {requirement.specifier}"


def main(paths):
    try:
        missing = [reason for path in paths for reason in unmet(path)]
    except ImportError as error:
        missing = [str(error)]
    for reason in missing:
        print(reason, file=sys.stderr)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
