#!/usr/bin/env bash
# Installs the Debian packages vantle needs to build, run and test (Debian 12 or 13), and says
# which ones it installs.
#
#   bash scripts/install-system-deps.sh [--any-python] [--print]
#
# --any-python  also the headers that building PyGObject from PyPI needs: for a Python that
#               cannot see Debian's python3-gi (pyenv, uv, a venv without system site packages).
# --print       print the apt-get line for the missing packages and install nothing.
# Without root it goes through sudo (which may ask for a password on a terminal); without
# either it prints the one apt-get line to run as root and exits with status 1.
set -euo pipefail

any_python=0
print_only=0
for arg in "$@"; do
  case "$arg" in
    --any-python) any_python=1 ;;
    --print) print_only=1 ;;
    *) echo "usage: $0 [--any-python] [--print]" >&2; exit 2 ;;
  esac
done

packages=(
  # toolchain and the Python that PyGObject is built for
  build-essential pkg-config python3 python3-dev python3-venv python3-pip
  # GStreamer core, plugins and development files
  libglib2.0-dev libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav
  # PyGObject and introspection data (tests, test servers, Python callers); python-gi-dev's
  # pygobject.h is what vantle's native modules build against, whichever PyGObject runs them
  python3-gi python-gi-dev gir1.2-glib-2.0 gir1.2-gstreamer-1.0 gir1.2-gst-plugins-base-1.0
  # Debian 12's python3-gi declares pycairo: Debian's own satisfies it, so pip builds nothing
  python3-cairo
  # native conversion of decoded frames to BGR (libyuv copies packed RGB; Highway's SIMD runs the YUV kernel)
  libyuv-dev libhwy-dev
  # RTSP server library for the test and demo streams
  libgstrtspserver-1.0-0 libgstrtspserver-1.0-dev gir1.2-gst-rtsp-server-1.0
  # encoders the test streams use
  gstreamer1.0-x
  # moves a test child's wall clock (tests/test_wall_clock_steps.py)
  libfaketime
  # headless browser and its WebDriver for the web page's tests
  chromium chromium-driver
  # JSON for the sidecar file of a saved clip (header-only)
  nlohmann-json3-dev
  # an independent decoder and prober for the clips tests (ffprobe, ffmpeg)
  ffmpeg
)
if [ "$any_python" -eq 1 ]; then
  # PyGObject and pycairo from PyPI build from source against the system's introspection
  # library (girepository-1.0 on Debian 12 and 13) and cairo.
  packages+=(libgirepository1.0-dev libcairo2-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "System packages already installed."
  exit 0
fi

apt_line="apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$print_only" -eq 1 ]; then
  echo "$apt_line"
  exit 0
fi

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null && { [ -t 0 ] || sudo -n true 2>/dev/null; }; then
    SUDO=(sudo)
  else
    echo "vantle needs these Debian packages, and installing them needs root. Run as root:" >&2
    echo "  apt-get update && $apt_line" >&2
    exit 1
  fi
fi

echo "Installing Debian packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update
"${SUDO[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}"
