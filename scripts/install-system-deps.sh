#!/usr/bin/env bash
# Installs the Debian packages vantle needs to build, run and test (Debian 12 or 13).
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

packages=(
  # toolchain and the Python that PyGObject is built for
  build-essential pkg-config python3 python3-dev python3-venv python3-pip
  # GStreamer core, plugins and development files
  libglib2.0-dev libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav
  # PyGObject and introspection data (tests, test servers, Python callers)
  python3-gi python-gi-dev gir1.2-glib-2.0 gir1.2-gstreamer-1.0 gir1.2-gst-plugins-base-1.0
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

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "System packages already installed."
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
