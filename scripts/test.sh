#!/usr/bin/env bash
# The test command: installs what is missing, then builds and runs every test leg.
#
# The host-version legs build against the host loader's own spdlog and nlohmann json headers,
# found in $TAMSEL_HOST_HEADERS or, by default, ../shared/host-deps/include; the Visual C++ ABI
# leg also needs Microsoft's standard library headers ($TAMSEL_MSVC_STL, ../shared/msvc-stl).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/check-style.sh

jobs=$(nproc)
# Each leg's time, and its configure, build and test phases, for the summary at the end.
leg_times=()
run_leg() {
  local preset=$1
  shift
  echo "=== ${preset} ==="
  local started=$SECONDS
  cmake --preset "$preset" "$@" >/dev/null
  local configured=$SECONDS
  cmake --build --preset "$preset" -j"$jobs"
  local built=$SECONDS
  # Tests under Wine mostly wait (for saves, threads, Wine's server): twice as many at once.
  local test_jobs=$jobs
  [[ $preset == windows* ]] && test_jobs=$((jobs * 2))
  ctest --preset "$preset" -j"$test_jobs"
  echo "=== ${preset}: passed in $((SECONDS - started)) s ==="
  local phases="configure $((configured - started)), build $((built - configured))"
  leg_times+=("${preset} $((SECONDS - started)) s (${phases}, test $((SECONDS - built)))")
}

host_headers=${TAMSEL_HOST_HEADERS:-../shared/host-deps/include}
# One Wine prefix for the three Windows legs: each would spend 10 s making its own.
export TAMSEL_WINEPREFIX=${TAMSEL_WINEPREFIX:-$PWD/build/wineprefix}

run_leg default     # unit and end-to-end tests, the stand-in server, memcheck
run_leg optimised   # the same tests at -O2: no injected fault may be optimised away
run_leg asan        # address and undefined-behaviour sanitizers
run_leg tsan        # thread sanitizer, with the stress test
run_leg fuzz        # a bounded libFuzzer run over config.json
run_leg windows     # the Windows DLL, cross-built, tests under Wine
# The plug-in's own layers under clang-tidy (.clang-tidy; a finding fails): the POSIX bodies as
# the fuzz leg compiled them (with clang), the Windows bodies as the windows leg did.
tidy() {
  local build=$1
  shift
  clang-tidy -p "$build" --quiet "$@" 2> >(grep -v -E '^[0-9]+ warnings? generated' >&2)
}
echo "=== clang-tidy ==="
started=$SECONDS
tidy build/fuzz $(git ls-files 'platform/*.cpp' 'plugin/*.cpp' 'config/*.cpp' 'logging/*.cpp' \
  'host/*.cpp' 'text/*.cpp' 'state/*.cpp' 'entry/*.cpp' | grep -v '/windows/')
tidy build/windows $(git ls-files 'platform/windows/*.cpp')
echo "=== clang-tidy: passed in $((SECONDS - started)) s ==="
leg_times+=("clang-tidy $((SECONDS - started)) s")
if [ -f "$host_headers/spdlog/spdlog.h" ] && [ -f "$host_headers/nlohmann/json.hpp" ]; then
  host_headers=$(cd "$host_headers" && pwd)
  run_leg host-deps -DTAMSEL_HOST_HEADERS="$host_headers"
  run_leg windows-host-deps -DTAMSEL_HOST_HEADERS="$host_headers"
else
  echo "=== host-deps, windows-host-deps: skipped: no spdlog/ and nlohmann/ headers in" \
    "$host_headers (set TAMSEL_HOST_HEADERS to the host loader's include folder) ==="
fi
# The DLL a Visual Studio-built host loads: the Visual C++ ABI, on the host's library versions.
msvc_stl=${TAMSEL_MSVC_STL:-../shared/msvc-stl}
if [ ! -f "$msvc_stl/stl/inc/yvals_core.h" ]; then
  echo "=== windows-msvc: skipped: no Microsoft standard library headers in $msvc_stl/stl/inc" \
    "(set TAMSEL_MSVC_STL to a copy of microsoft/STL) ==="
elif [ ! -f "$host_headers/spdlog/spdlog.h" ]; then
  echo "=== windows-msvc: skipped: it builds on the host loader's headers, not found in" \
    "$host_headers ==="
else
  TAMSEL_MSVC_STL=$(cd "$msvc_stl" && pwd)
  export TAMSEL_MSVC_STL
  # Its tests run on Microsoft's own vcruntime140.dll and msvcp140.dll where they can be had.
  microsoft_runtime=$PWD/build/microsoft-runtime
  if why=$(scripts/fetch-microsoft-runtime.sh "$microsoft_runtime"); then
    run_leg windows-msvc -DTAMSEL_HOST_HEADERS="$host_headers" \
      -DTAMSEL_MICROSOFT_RUNTIME_DIR="$microsoft_runtime"
  else
    echo "=== windows-msvc: on Wine's own vcruntime140 and msvcp140, not Microsoft's: $why ==="
    run_leg windows-msvc -DTAMSEL_HOST_HEADERS="$host_headers" -DTAMSEL_MICROSOFT_RUNTIME_DIR=
  fi
fi
echo "=== times: $(printf '%s; ' "${leg_times[@]}")all $SECONDS s ==="
