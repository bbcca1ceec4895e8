#!/usr/bin/env bash
# Prepares this checkout: Debian packages, the virtual environment in .venv and vantle built
# and installed into it. Safe to run again; when everything is in place it only rebuilds what
# changed (the CMake build in build/ is kept between runs).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

bash scripts/install-system-deps.sh

VENV="$ROOT/.venv"
PY="$VENV/bin/python"

# The environment must be made from Debian's Python so that Debian's python3-gi is visible.
if ! "$PY" -c 'import sys' >/dev/null 2>&1; then
  echo "Creating virtual environment in $VENV"
  rm -rf "$VENV"
  /usr/bin/python3 -m venv --system-site-packages "$VENV"
fi

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
PIP=("$PY" -m pip)

# Build and test tools: the list is shared with the sanitizer environments (scripts/sanitize.sh).
REQUIREMENTS="$ROOT/scripts/requirements-dev.txt"
if ! "$PY" scripts/requirements_met.py "$REQUIREMENTS" >/dev/null 2>&1; then
  echo "Installing build and test requirements"
  "${PIP[@]}" install -q --upgrade pip
  "${PIP[@]}" install -q -r "$REQUIREMENTS"
fi

echo "Building and installing vantle"
"${PIP[@]}" install -q --no-build-isolation .

# Ray, for vantle.fleet and its tests. Ray publishes wheels for a Python only some months after
# its release: without one, the fleet tests skip and everything else works.
if ! "$PY" -c 'import ray' >/dev/null 2>&1; then
  echo "Installing Ray for vantle.fleet"
  "${PIP[@]}" install -q --only-binary=ray "ray>=2.40" \
    || echo "No Ray wheel for $("$PY" -V); vantle.fleet and its tests are unavailable" >&2
fi
