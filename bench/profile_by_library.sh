#!/usr/bin/env bash
# Where a reader's CPU goes, by shared object: perf samples (cpu-clock, which works without
# hardware counters) of one bench reader process on N local 720p20 H.264 streams.
#
#   bash bench/profile_by_library.sh                 # vantle and pyav, N = 4
#   bash bench/profile_by_library.sh 8 vantle opencv
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY=.venv/bin/python
STREAMS=${1:-4}
shift || true
READERS=("${@:-vantle pyav}")
WORK=$(mktemp -d)
PORT=$($PY -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
$PY bench/rtsp_server.py --mounts "$STREAMS" --fps 20 --port "$PORT" --times-file "$WORK/times" --lifetime 300 \
  >"$WORK/server.log" 2>&1 &
SERVER=$!
trap 'kill $SERVER 2>/dev/null; rm -rf "$WORK"' EXIT
sleep 6
for reader in ${READERS[*]}; do
  perf record -q -F 499 -o "$WORK/$reader.data" -- $PY bench/run_one.py --reader "$reader" \
    --url "rtsp://127.0.0.1:$PORT" --streams "$STREAMS" --times-file "$WORK/times" --clip-len 120 \
    --consume all --warmup 1 --quiet 6 --busy 0 --calibrate 0.5 --out "$WORK/$reader.json" >/dev/null 2>&1
  echo "== $reader, N = $STREAMS"
  perf report -i "$WORK/$reader.data" --no-children --sort dso --stdio 2>/dev/null | grep '%' | head -12
done
