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

run_leg default   # unit and end-to-end tests, the stand-in server, memcheck
run_leg asan      # address and undefined-behaviour sanitizers
run_leg tsan      # thread sanitizer, with the stress test
run_leg fuzz      # a bounded libFuzzer run over config.json
run_leg windows   # the Windows DLL, cross-built, tests under Wine
