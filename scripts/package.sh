#!/usr/bin/env bash
# Builds the release archive for administrators: Tamsel.dll (Release, cross-built for Windows with
# the Visual C++ ABI that a Visual Studio-built host loader uses) against the host loader's own
# spdlog and nlohmann json headers, with the sample config.json and build-info.txt, zipped as it
# unpacks into a server directory; beside it, Tamsel.pdb in an archive of its own
# (-symbols.zip). Needs Microsoft's standard library headers too ($TAMSEL_MSVC_STL, by default
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
archive=$(ls build/windows-msvc-package/Tamsel-*-Windows.zip)
echo "Archive: $archive"
echo "Symbols: $(ls build/windows-msvc-package/Tamsel-*-Windows-symbols.zip)"
sed -n 2,3p build/windows-msvc-package/build-info.txt
