#!/usr/bin/env bash
# Puts Microsoft's own x64 vcruntime140.dll and msvcp140.dll (14.0.24210.0, Visual Studio 2015
# Update 3, signed by Microsoft) into the folder given, for the Visual C++ ABI tests to run on.
# They come from the npm package edge-js@26.1.0, which carries Microsoft's redistributable, and
# must match the SHA-256 sums in toolchains/msvc/microsoft-runtime.sha256. On failure it says
# why on one line and exits 1, leaving the folder without them.
set -euo pipefail
cd "$(dirname "$0")/.."

destination=$1
package=edge-js@26.1.0
sums=$PWD/toolchains/msvc/microsoft-runtime.sha256
if [ -f "$destination/vcruntime140.dll" ] && [ -f "$destination/msvcp140.dll" ] &&
  (cd "$destination" && sha256sum --check --status "$sums"); then
  exit 0
fi
if ! command -v npm >/dev/null; then
  echo "npm is not installed (scripts/install-deps.sh installs it)"
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! (cd "$work" && npm pack --silent "$package" >npm.log 2>&1); then
  echo "npm could not fetch $package: $(tail -n 1 "$work/npm.log")"
  exit 1
fi
tar -xzf "$work"/edge-js-*.tgz -C "$work" package/lib/native/win32/x64/vcruntime140.dll \
  package/lib/native/win32/x64/msvcp140.dll
if ! (cd "$work/package/lib/native/win32/x64" && sha256sum --check --status "$sums"); then
  echo "the DLLs in $package do not match toolchains/msvc/microsoft-runtime.sha256"
  exit 1
fi
mkdir -p "$destination"
cp "$work"/package/lib/native/win32/x64/{vcruntime140,msvcp140}.dll "$destination"/
