#!/usr/bin/env bash
# Builds the native modules with sanitizers into their own environment and runs the native-heavy
# tests under them. The normal .venv and build/ are left alone.
#
#   bash scripts/sanitize.sh [address|thread] [pytest args]
#
# address (default): AddressSanitizer + UndefinedBehaviorSanitizer, with leak detection;
#   build-asan/ and .venv-asan/. Leaks that only the interpreter, GLib's type system or
#   GStreamer's registry keep until exit are suppressed in scripts/sanitizers/lsan.supp, and
#   scripts/sanitizers/summarize_reports.py fails the run only on leaks our code allocated.
# thread: ThreadSanitizer on the frame path and supervision (tests/test_live_feed*.py);
#   build-tsan/ and .venv-tsan/. GLib and GStreamer synchronize through futexes the sanitizer
#   cannot see, so their own hand-overs read as races: scripts/sanitizers/summarize_reports.py
#   keeps the reports on our memory and our locks, and lists the others by origin.
#   Its slowdown (five to fifteen times) makes pipelines miss the tests' two-second start
#   deadline, so those are doubled (VANTLE_TEST_TIMEOUT_SCALE, tests/conftest.py; more would
#   outlast the windows in which the tests expect a rebuild), and tests marked `timing` (frame
#   rates, frames within a few seconds of a start or a rebuild) are deselected: they would fail
#   for the slowdown, not for a race.
# The exit status is pytest's, or 1 when a sanitizer found an error in our code
# (scripts/sanitizers/summarize_reports.py).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

MODE="address"
SELECT=()
if [ $# -gt 0 ] && { [ "$1" = address ] || [ "$1" = thread ]; }; then MODE="$1"; shift; fi

case "$MODE" in
  address)
    TAG=asan
    FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
    # libstdc++ is loaded with the runtime so that its interceptor of __cxa_throw finds the real one.
    RUNTIME="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
    DEFAULT_TESTS=(tests/test_live_feed.py tests/test_live_feed_recovery.py tests/test_gstreamer.py
                   tests/test_builders.py tests/test_feed_contract.py tests/test_timing.py
                   tests/test_logger.py tests/test_loop_host.py tests/test_import_order.py)
    ;;
  thread)
    TAG=tsan
    FLAGS="-fsanitize=thread -fno-omit-frame-pointer"
    RUNTIME="$(gcc -print-file-name=libtsan.so)"
    DEFAULT_TESTS=(tests/test_live_feed.py tests/test_live_feed_recovery.py)
    SELECT=(-m "not timing")
    export VANTLE_TEST_TIMEOUT_SCALE="${VANTLE_TEST_TIMEOUT_SCALE:-2}"
    ;;
esac

VENV="$ROOT/.venv-$TAG"
PY="$VENV/bin/python"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

bash scripts/install-system-deps.sh >/dev/null
# The same build and test tools as .venv (scripts/setup.sh), from the same list.
REQUIREMENTS="$ROOT/scripts/requirements-dev.txt"
if ! "$PY" -c 'import sys' >/dev/null 2>&1; then
  echo "Creating $VENV"
  rm -rf "$VENV"
  /usr/bin/python3 -m venv --system-site-packages "$VENV"
fi
if ! "$PY" scripts/requirements_met.py "$REQUIREMENTS" >/dev/null 2>&1; then
  "$PY" -m pip install -q --upgrade pip
  "$PY" -m pip install -q -r "$REQUIREMENTS"
fi

# The sanitizer runtimes must see every allocation and every throw: no private C++ runtime.
echo "Building vantle with -fsanitize=$MODE into build-$TAG/"
"$PY" -m pip install -q --no-build-isolation \
  -C build-dir="build-$TAG/{wheel_tag}" \
  -C cmake.build-type=RelWithDebInfo \
  -C install.strip=false \
  -C cmake.define.VANTLE_PRIVATE_CXX_RUNTIME=OFF \
  -C "cmake.define.CMAKE_CXX_FLAGS=$FLAGS" \
  -C "cmake.define.CMAKE_SHARED_LINKER_FLAGS=$FLAGS" \
  .

# GStreamer's registry is built once without the sanitizer: a plugin scan under it would
# report the plugins' own leaks and mark them broken.
export GST_REGISTRY="$ROOT/build-$TAG/gst-registry.bin"
gst-inspect-1.0 >/dev/null 2>&1 || true

REPORTS="$ROOT/build-$TAG/reports"
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
SANITIZERS_DIR="$ROOT/scripts/sanitizers"

# Python's own allocator hands out memory in arenas that the sanitizer cannot see into.
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:abort_on_error=0:strict_init_order=1:detect_stack_use_after_return=0:log_path=$REPORTS/asan"
export LSAN_OPTIONS="suppressions=$SANITIZERS_DIR/lsan.supp:print_suppressions=0:exitcode=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$REPORTS/ubsan"
export TSAN_OPTIONS="second_deadlock_stack=1:exitcode=0:log_path=$REPORTS/tsan"

if [ $# -eq 0 ]; then set -- "${DEFAULT_TESTS[@]}"; fi

status=0
# The sanitizers need their runtime first in the process; ASLR is turned off for the thread
# sanitizer, whose memory layout does not fit the kernel's wide randomization.
launcher=(env "LD_PRELOAD=$RUNTIME")
if [ "$MODE" = thread ]; then launcher=(setarch "$(uname -m)" -R "${launcher[@]}"); fi
timeout --kill-after=30 2400 "${launcher[@]}" "$PY" -m pytest -q -p no:cacheprovider --rootdir="$ROOT" "${SELECT[@]}" "$@" || status=$?

# Test results and sanitizer findings are judged apart: leaks do not change a child's exit status.
python3 "$SANITIZERS_DIR/summarize_reports.py" "$REPORTS" || { [ "$status" -ne 0 ] || status=1; }
echo "Reports are kept in $REPORTS."
exit "$status"
