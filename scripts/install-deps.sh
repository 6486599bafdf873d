#!/usr/bin/env bash
# Installs what the build, the tests and the Windows cross build need on a Debian machine.
# Only missing packages are installed; run as root (or with sudo available).
set -euo pipefail

packages=(
  cmake make g++ clang libclang-rt-14-dev pkg-config
  libspdlog-dev libfmt-dev nlohmann-json3-dev
  libgtest-dev googletest libbenchmark-dev valgrind
  mingw-w64 g++-mingw-w64-x86-64-posix lld wine64 python3
  llvm libwine-dev clang-format clang-tidy git
  lldb  # reads the Windows crash dumps in the tests, as a server's maintainer would
)

# npm fetches Microsoft's runtime DLLs for the Visual C++ ABI tests; a machine whose Node.js
# brings its own npm (NodeSource's, say) keeps that one.
command -v npm >/dev/null || packages+=(npm)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
# apt's own progress goes to a log file, named if it fails.
log=${TMPDIR:-/tmp}/tamsel-install-deps.log
echo "install-deps: installing ${missing[*]} (apt's output: $log)"
if ! { $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
       $sudo apt-get install -y -qq "${missing[@]}"; } >"$log" 2>&1; then
  echo "install-deps: apt-get failed; its output is in $log" >&2
  tail -n 20 "$log" >&2
  exit 1
fi
echo "install-deps: done"
