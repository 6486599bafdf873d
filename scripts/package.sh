#!/usr/bin/env bash
# Builds the release archive for administrators: Tamsel.dll (Release, cross-built for Windows with
# the Visual C++ ABI that a Visual Studio-built host loader uses) against the host loader's own
# spdlog and nlohmann json headers, with the sample config.json and build-info.txt, zipped as it
# unpacks into a server directory; beside it, Tamsel.dll and Tamsel.pdb in an archive of their
# own (-symbols.zip), and the two archives' SHA-256 sums (.sha256). Needs Microsoft's standard library headers too ($TAMSEL_MSVC_STL, by default
# ../shared/msvc-stl).
#
#   scripts/package.sh                                   # headers in ../shared/host-deps/include
#   TAMSEL_HOST_HEADERS=/path/to/host-sdk/include scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."

host_headers=${TAMSEL_HOST_HEADERS:-../shared/host-deps/include}
if [ ! -f "$host_headers/spdlog/spdlog.h" ] || [ ! -f "$host_headers/nlohmann/json.hpp" ]; then
  echo "package: no spdlog/ and nlohmann/ headers in $host_headers;" \
    "set TAMSEL_HOST_HEADERS to the host loader's include folder" >&2
  exit 1
fi
host_headers=$(cd "$host_headers" && pwd)
msvc_stl=${TAMSEL_MSVC_STL:-../shared/msvc-stl}
if [ ! -f "$msvc_stl/stl/inc/yvals_core.h" ]; then
  echo "package: no Microsoft standard library headers in $msvc_stl/stl/inc;" \
    "set TAMSEL_MSVC_STL to a copy of microsoft/STL" >&2
  exit 1
fi
export TAMSEL_MSVC_STL=$(cd "$msvc_stl" && pwd)

scripts/install-deps.sh
cmake --preset windows-msvc-package -DTAMSEL_HOST_HEADERS="$host_headers" >/dev/null
cmake --build --preset windows-msvc-package -j"$(nproc)"
(cd build/windows-msvc-package && cpack -G ZIP >/dev/null)
cd build/windows-msvc-package
archive=$(ls Tamsel-*-Windows.zip)
symbols=$(ls Tamsel-*-Windows-symbols.zip)
# What each archive must hold, and nothing else.
check_contents() {
  local zip=$1
  shift
  local listed expected
  listed=$(cmake -E tar tf "$zip" | grep -v '/$' | sort)
  expected=$(printf '%s\n' "$@" | sort)
  if [ "$listed" != "$expected" ]; then
    printf 'package: %s holds\n%s\ninstead of\n%s\n' "$zip" "$listed" "$expected" >&2
    exit 1
  fi
}
plugin_dir=VelkorApi/Plugins/Tamsel
check_contents "$archive" "$plugin_dir/Tamsel.dll" "$plugin_dir/TamselDumpWriter.exe" \
  "$plugin_dir/config.json" "$plugin_dir/build-info.txt" "$plugin_dir/README.txt"
check_contents "$symbols" Tamsel.dll Tamsel.pdb build-info.txt
cmake -DREADME_TXT=README.txt -P ../../cmake/CheckShippedReadme.cmake
# Checksums to publish beside the archives: "sha256sum -c" (or PowerShell's Get-FileHash).
sums=${archive%.zip}.sha256
sha256sum "$archive" "$symbols" >"$sums"
echo "Archive: build/windows-msvc-package/$archive"
echo "Symbols: build/windows-msvc-package/$symbols"
echo "SHA-256: build/windows-msvc-package/$sums"
sed -n 2,3p build-info.txt
