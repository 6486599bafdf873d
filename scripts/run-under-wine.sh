#!/usr/bin/env bash
# Runs a Windows program under Wine, with a Wine prefix of the build's own and the program's
# own "version.dll" preferred over Wine's built-in one. Used by CTest in the Windows build.
# TAMSEL_WINEDEBUG sets WINEDEBUG (default: -all, Wine says nothing); WINEDLLOVERRIDES is kept.
# A crashed program ends at once with Wine's one-line report and a failing exit code: Wine's
# debugger, which would otherwise attach, can hang and keep the whole prefix waiting.
# TAMSEL_WINEDBG=1 lets it attach, for its backtrace.
set -euo pipefail

program=$1
shift
wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
if [ ! -x "$wine" ]; then
  echo "run-under-wine: wine64 is not installed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

build_dir=$(cd "$(dirname "$program")" && while [ ! -f CMakeCache.txt ] && [ "$PWD" != / ]; do cd ..; done; pwd)
export WINEPREFIX="${TAMSEL_WINEPREFIX:-$build_dir/wineprefix}"
export WINEDEBUG="${TAMSEL_WINEDEBUG:--all}"
# A caller's own overrides (Microsoft's runtime DLLs beside the programs, say) come first.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}version=n,b;mscoree,mshtml="
[ "${TAMSEL_WINEDBG:-0}" = 1 ] || WINEDLLOVERRIDES+=";winedbg.exe=d"

# The first use creates the prefix; tests running side by side must not race for it.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wine" wineboot --init >/dev/null 2>&1 || true
      "${wine%64}server" -w 2>/dev/null || wineserver -w 2>/dev/null || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi

exec "$wine" "$program" "$@"
