#!/usr/bin/env bash
# The main job: builds everything, then runs the stand-in server twice on the same world, first
# without the plug-in and then with it, and shows how long the game loop stalled in each run.
#
#   scripts/demo.sh                      # a 256 MiB world, 3 saves, 2 seconds apart
#   WORLD_MB=512 SAVES=5 scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."

world_mb=${WORLD_MB:-256}
saves=${SAVES:-3}
interval=${SAVE_INTERVAL:-2}

scripts/install-deps.sh
# The host loader's own spdlog and json when their headers are at hand, as a real build uses;
# Debian's otherwise.
host_headers=${TAMSEL_HOST_HEADERS:-../shared/host-deps/include}
if [ -f "$host_headers/spdlog/spdlog.h" ] && [ -f "$host_headers/nlohmann/json.hpp" ]; then
  host_headers=$(cd "$host_headers" && pwd)
else
  echo "demo: no host headers in $host_headers; using Debian's spdlog and json, on which the" \
    "server's own log lines take the plug-in's pattern once it is loaded"
  host_headers=""
fi
cmake --preset release -DTAMSEL_HOST_HEADERS="$host_headers" >/dev/null
cmake --build --preset release -j"$(nproc)" >/dev/null
echo "demo: $(sed -n 's/^Built against //p' build/release/build-info.txt)"

demo=build/demo
rm -rf "$demo"
cmake --install build/release --prefix "$demo/with-plugin" >/dev/null
cmake --install build/release --prefix "$demo/without-plugin" --component server >/dev/null

# The run ends just after its last periodic request, so that the server stops, as a real one
# may, while that save is still being written: the shutdown save must reach the disk anyway.
seconds=$(awk -v n="$saves" -v s="$interval" 'BEGIN { print n * s + 0.1 }')
run() {
  local dir=$1
  shift
  echo "=== $dir ==="
  "$dir/dravik-server" --dir "$dir" --world-mb "$world_mb" --seconds "$seconds" \
    --save-interval "$interval" "$@" | sed -n '/^  plug-ins/,/^  save duration/p' > "$dir/table.txt"
  cat "$dir/table.txt"
}
run "$demo/without-plugin" --no-plugins
run "$demo/with-plugin"

value() { sed -n "s/^$2=//p" "$1/summary.txt"; }
echo
"$demo/with-plugin/dravik-server" --dir "$demo" \
  --compare "$demo/without-plugin" "$demo/with-plugin" | sed -n 1p
for dir in "$demo/without-plugin" "$demo/with-plugin"; do
  on_disk=$("$demo/with-plugin/dravik-server" --verify "$dir/world.sav" | sed -n 's/.*for request //p')
  if [ "$on_disk" != "$(value "$dir" final_request)" ]; then
    echo "The final save of $dir is not on disk (the save for request ${on_disk:-none} is)." >&2
    exit 1
  fi
done
once_more=""
if grep -q "Saving once more before exit" "$demo/with-plugin/server.log"; then
  once_more=" (with the plug-in, the shutdown request came while a save ran: it was refused, and run once that save had ended)"
fi
echo "The final save, asked for as each server exited, is on disk in both runs$once_more."
echo "The runs side by side, on one page: $demo/compare.html (its chart alone: $demo/compare.svg)"
echo "Each run's own chart:   $demo/without-plugin/ticks.svg and $demo/with-plugin/ticks.svg"
echo "Server logs:            $demo/*/server.log"
