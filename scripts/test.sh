#!/usr/bin/env bash
# The test command: installs what is missing, then builds and runs every test leg.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
run_leg() {
  local preset=$1
  echo "=== ${preset} ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  ctest --preset "$preset" -j"$jobs"
}

run_leg default
run_leg asan
run_leg windows
