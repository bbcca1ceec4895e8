#!/usr/bin/env bash
# Sets the checkout up (scripts/setup.sh) and runs the whole test suite against the installed package.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

bash scripts/setup.sh

# The tests import the installed package, never the sources in python/. A stuck native wait
# must not hang the run forever: the whole suite gets 20 minutes.
exec timeout --kill-after=30 1200 \
  "$ROOT/.venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir="$ROOT" "$ROOT/tests" "$@"
