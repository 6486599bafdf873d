#!/usr/bin/env bash
# Runs the benchmarks in one process, side by side, and prints their ratios. The raw figures
# go to build/bench/results.json. Timings here are noisy: compare ratios, not single times.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset bench >/dev/null
cmake --build --preset bench -j"$(nproc)"
build/bench/bench/tamsel_bench --benchmark_repetitions="${REPETITIONS:-5}" \
  --benchmark_report_aggregates_only=true \
  --benchmark_out=build/bench/results.json --benchmark_out_format=json "$@"
python3 scripts/bench_ratios.py build/bench/results.json

# The Windows DLL's save request while the process's loader is busy, under Wine: the request's
# cost beside a bare thread start's, and how many saves ran on the server's thread.
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$(nproc)" --target tamsel_busy_loader_run
scripts/run-under-wine.sh build/windows/bin/tamsel_busy_loader_run.exe "${BUSY_LOADER_REQUESTS:-100}"
