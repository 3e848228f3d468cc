#!/usr/bin/env bash
# Runs one Windows program under wine, quietly and within a time limit: the emulator of
# the Windows test build and the helper of scripts/test-windows.sh.
#   scripts/wine-run.sh PROGRAM.exe [ARGS...]
# WINEPREFIX defaults to build/windows/wine (created on first use); QUORVEX_WINE_TIMEOUT
# (seconds, default 300) bounds the run. The mingw runtime DLLs are found through
# WINEPATH, so test programs need not carry them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build/windows/wine}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
gcc_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
export WINEPATH="Z:${gcc_dir//\//\\};Z:\\usr\\x86_64-w64-mingw32\\lib${WINEPATH:+;$WINEPATH}"
exec timeout -k 10 "${QUORVEX_WINE_TIMEOUT:-300}" wine "$@"
