#!/usr/bin/env bash
# Builds and tests this checkout on Debian 13 (trixie) inside a chroot, from the host's Debian.
# The root is made once with debootstrap and kept (default /var/cache/vantle-trixie), together
# with its system packages, .venv and CMake build, so a rerun only copies the sources and
# rebuilds what changed. Needs root (or sudo). Extra arguments go to pytest.
# The suite runs twice: with python3-gst-1.0 (GStreamer's own Python overrides, which change what
# Gst.Caps, Gst.Structure and friends hand out) and without it. VANTLE_GST_PYTHON=with or
# =without runs one of the two, =none neither. VANTLE_CHECK_ANY_PYTHON=1 then also runs
# scripts/check-any-python.sh with Debian 13's python3 (venvs without system site packages).
#
#   bash scripts/check-debian13.sh [pytest args]
#   VANTLE_TRIXIE_ROOT=/some/dir bash scripts/check-debian13.sh
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then exec sudo -E bash "$0" "$@"; fi

SRC="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ROOTFS="${VANTLE_TRIXIE_ROOT:-/var/cache/vantle-trixie}"
MIRROR="${VANTLE_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
WORKDIR=/opt/vantle
HOST_CA=/etc/ssl/certs/ca-certificates.crt
GST_PYTHON="${VANTLE_GST_PYTHON:-both}"
case "$GST_PYTHON" in
  both) GST_PYTHON_RUNS="with without" ;;
  with | without) GST_PYTHON_RUNS="$GST_PYTHON" ;;
  none) GST_PYTHON_RUNS="" ;;
  *) echo "VANTLE_GST_PYTHON must be with, without, both or none, not '$GST_PYTHON'" >&2; exit 2 ;;
esac

mkdir -p "$(dirname "$ROOTFS")"
# One run at a time per root: the mounts and the copied checkout are shared.
exec 9>"$ROOTFS.lock"
flock -n 9 || { echo "Another check is using $ROOTFS" >&2; exit 1; }

started=$(date +%s)

if [ ! -e "$ROOTFS/.vantle-bootstrapped" ]; then
  command -v debootstrap >/dev/null || {
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends debootstrap
  }
  echo "Bootstrapping Debian 13 into $ROOTFS"
  rm -rf "$ROOTFS"
  debootstrap --variant=minbase --include=ca-certificates trixie "$ROOTFS" "$MIRROR"
  # Package scripts must not start services on the host.
  printf '#!/bin/sh\nexit 101\n' >"$ROOTFS/usr/sbin/policy-rc.d"
  chmod +x "$ROOTFS/usr/sbin/policy-rc.d"
  touch "$ROOTFS/.vantle-bootstrapped"
fi

mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" 2>/dev/null || true
  done
}
trap cleanup EXIT INT TERM

mount_into() {  # mount_into <target inside root> <mount args...>
  local target="$ROOTFS$1"
  shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounted+=("$target")
}
mount_into /proc -t proc proc
mount_into /sys -t sysfs sysfs
mount_into /dev --bind /dev
mount_into /dev/pts --bind /dev/pts
mount_into /dev/shm -t tmpfs -o mode=1777 tmpfs

cp -L /etc/resolv.conf "$ROOTFS/etc/resolv.conf"
# The network may present certificates that only the host's bundle trusts.
cp -L "$HOST_CA" "$ROOTFS/etc/vantle-host-ca.crt"

# Copy the checkout's tracked and untracked-but-not-ignored files; keep the root's own
# .venv and build/ so the rebuild is incremental. A file whose content changed gets the time
# of the copy and an unchanged one keeps its earlier time, so the kept build rebuilds exactly
# what changed (the checkout's own times may be older than that build).
WORK="$ROOTFS$WORKDIR"
INCOMING="$WORK.incoming"
rm -rf "$INCOMING"
mkdir -p "$WORK" "$INCOMING"
(cd "$SRC" && git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf -) | tar -xmf - -C "$INCOMING"
(cd "$INCOMING" && find . -type f -print0) | while IFS= read -r -d '' f; do
  if cmp -s "$INCOMING/$f" "$WORK/$f"; then touch -r "$WORK/$f" "$INCOMING/$f"; fi
done
for kept in .venv build; do
  if [ -e "$WORK/$kept" ]; then mv "$WORK/$kept" "$INCOMING/$kept"; fi
done
rm -rf "$WORK"
mv "$INCOMING" "$WORK"

status=0
chroot "$ROOTFS" /usr/bin/env -i \
  HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  LANG=C.UTF-8 TERM=dumb DEBIAN_FRONTEND=noninteractive \
  PIP_CERT=/etc/vantle-host-ca.crt SSL_CERT_FILE=/etc/vantle-host-ca.crt \
  PIP_DISABLE_PIP_VERSION_CHECK=1 GST_PYTHON_RUNS="$GST_PYTHON_RUNS" \
  CHECK_ANY_PYTHON="${VANTLE_CHECK_ANY_PYTHON:-0}" \
  /bin/bash -c 'set -e; cd "$1"; shift; . /etc/os-release; echo "== $PRETTY_NAME, $(python3 --version 2>/dev/null || echo no python yet)";
    bash scripts/install-system-deps.sh
    echo "== $(python3 --version), GStreamer $(dpkg-query -W -f="\${Version}" libgstreamer1.0-0)"
    failed=""
    for run in $GST_PYTHON_RUNS; do
      if [ "$run" = with ]; then
        apt-get install -y --no-install-recommends python3-gst-1.0 >/dev/null
      else
        apt-get remove -y python3-gst-1.0 >/dev/null
      fi
      echo "== the suite $run python3-gst-1.0"
      bash scripts/test.sh "$@" || failed="$failed $run python3-gst-1.0;"
    done
    if [ "$CHECK_ANY_PYTHON" = 1 ]; then
      bash scripts/check-any-python.sh /usr/bin/python3 || failed="$failed check-any-python.sh"
    fi
    [ -z "$failed" ] || { echo "== failed:$failed" >&2; exit 1; }' check "$WORKDIR" "$@" || status=$?

echo "Debian 13 check finished with status $status after $(( $(date +%s) - started )) s"
exit "$status"
