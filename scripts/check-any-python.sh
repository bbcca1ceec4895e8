#!/usr/bin/env bash
# Installs this checkout into fresh environments of a Python that cannot see Debian's python3-gi
# (pyenv, uv or any other build of CPython 3.11-3.13) and reads a frame from the demo camera in
# each; prints how long each install took.
#
#   bash scripts/check-any-python.sh [PYTHON]     default: the python3 first on PATH
#   VANTLE_CHECK_UV=1 bash scripts/check-any-python.sh   also install with uv (from PyPI)
#
# 1. pip install <checkout> into a venv without system site packages: PyGObject comes from PyPI,
#    built from source.
# 2. python -m build: an sdist, and a wheel built from that sdist.
# 3. that wheel, with its dependencies as wheels, into another fresh venv, without a compiler.
# 4. (VANTLE_CHECK_UV=1) uv venv + uv pip install <checkout>.
# Needs the system packages of `scripts/install-system-deps.sh --any-python`. The environments
# live in a temporary directory that is removed afterwards (VANTLE_CHECK_KEEP=1 keeps it).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${1:-$(command -v python3)}"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/vantle-any-python.XXXXXX")"
if [ "${VANTLE_CHECK_KEEP:-0}" != 1 ]; then trap 'rm -rf "$WORK"' EXIT; fi
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

bash "$ROOT/scripts/install-system-deps.sh" --any-python >/dev/null

timings=()
timed() {  # timed <label> <command...>
  local label="$1" started
  shift
  started=$(date +%s)
  "$@"
  timings+=("$label: $(( $(date +%s) - started )) s")
}

read_frame() {  # read_frame <environment's python>; from outside the checkout
  (cd "$WORK" && "$1" "$SRC/scripts/read_demo_frame.py")
}

# A copy of the checkout's tracked and untracked-but-not-ignored files, as a fresh clone would
# have them: no build/ or .venv from scripts/setup.sh is reused.
SRC="$WORK/vantle"
mkdir -p "$SRC"
if git -C "$ROOT" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$ROOT" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf -) | tar -xf - -C "$SRC"
else  # a copied tree without git, as in scripts/check-debian13.sh's root
  tar -C "$ROOT" --exclude=./build --exclude='./build-*' --exclude='./.venv*' --exclude=./dist -cf - . |
    tar -xf - -C "$SRC"
fi

echo "== $("$PYTHON" -VV | head -1) at $PYTHON; a copy of $ROOT in $WORK"

"$PYTHON" -m venv "$WORK/pip-venv"
PIP_PY="$WORK/pip-venv/bin/python"
if "$PIP_PY" -c 'import gi' 2>/dev/null; then
  echo "note: this venv already sees a PyGObject; the check does not show the PyPI path" >&2
fi
"$PIP_PY" -m pip install -q --upgrade pip build
echo "== 1. pip install <checkout>"
timed "pip install (vantle, and PyGObject unless pip has it cached, from source)" "$PIP_PY" -m pip install -q "$SRC"
read_frame "$PIP_PY"

echo "== 2. python -m build"
timed "python -m build (sdist, then a wheel from it)" "$PIP_PY" -m build --outdir "$WORK/dist" "$SRC" >"$WORK/build.log" 2>&1
ls "$WORK/dist"
WHEEL="$(ls "$WORK"/dist/vantle-*.whl)"
# The dependencies as wheels (PyGObject and pycairo come from pip's cache of step 1).
"$PIP_PY" -m pip wheel -q --wheel-dir "$WORK/dist" "$WHEEL"

echo "== 3. the wheel into a fresh venv, without a compiler"
"$PYTHON" -m venv "$WORK/wheel-venv"
mkdir -p "$WORK/no-compiler"
for tool in cc gcc c++ g++ ld; do printf '#!/bin/sh\necho "no compiler here" >&2; exit 1\n' >"$WORK/no-compiler/$tool"; done
chmod +x "$WORK"/no-compiler/*
timed "pip install of the wheel" env PATH="$WORK/no-compiler:$PATH" CC=false CXX=false \
  "$WORK/wheel-venv/bin/python" -m pip install -q --no-index --find-links "$WORK/dist" "$WHEEL"
read_frame "$WORK/wheel-venv/bin/python"

if [ "${VANTLE_CHECK_UV:-0}" = 1 ]; then
  echo "== 4. uv venv + uv pip install <checkout>"
  "$PIP_PY" -m pip install -q uv
  UV="$WORK/pip-venv/bin/uv"
  "$UV" venv -q --python "$PYTHON" "$WORK/uv-venv"
  timed "uv pip install" env VIRTUAL_ENV="$WORK/uv-venv" UV_NATIVE_TLS=1 "$UV" pip install -q "$SRC"
  read_frame "$WORK/uv-venv/bin/python"
fi

echo "== $("$PYTHON" -V): every path read a frame"
printf '   %s\n' "${timings[@]}"
