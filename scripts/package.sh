#!/usr/bin/env bash
# Builds the release archive for administrators: Tamsel.dll (Release, cross-built for Windows)
# against the host loader's own spdlog and nlohmann json headers, with the sample config.json and
# build-info.txt, zipped as it unpacks into a server directory.
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

scripts/install-deps.sh
cmake --preset windows-package -DTAMSEL_HOST_HEADERS="$host_headers" >/dev/null
cmake --build --preset windows-package -j"$(nproc)"
(cd build/windows-package && cpack -G ZIP >/dev/null)
archive=$(ls build/windows-package/Tamsel-*.zip)
echo "Archive: $archive"
sed -n 2p build/windows-package/build-info.txt
