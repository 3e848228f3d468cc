#!/usr/bin/env bash
# The Windows build and its tests under wine, headless (Xvfb), in a fresh wine prefix
# inside the build folder (build/windows/wine):
#   1. Qt for Windows (scripts/build-qt-windows.sh) and the package
#      (scripts/package-windows.sh -> build/windows/Quorvex-<version>-win64.zip);
#   2. the core and its tests cross-built (build-win), run under wine: among them the
#      Win32 serial backend against COM7, which wine maps to a pseudo-terminal held by
#      tests/link/pty_peer.py, the registry port list against what `reg query` lists,
#      and the device watcher's hidden window;
#   3. the packed quorvex.exe under wine pressing Update against the virtual board over
#      RFC 2217, with the checks of the Linux end-to-end run, the board's check of its
#      flash and a picture of the window: build/windows/test-output/.
# Every wine call runs under a time limit (scripts/wine-run.sh); the wine server, the
# X server, the board and the line peer end with the script.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh

# The window under wine is a real Windows window, not Qt's offscreen one.
unset QT_QPA_PLATFORM
out=$root/build/windows
results=$out/test-output
export WINEPREFIX=$out/wine
export QUORVEX_WINE_TIMEOUT=${QUORVEX_WINE_TIMEOUT:-300}
# Warnings are errors here, as in the rest of the tests (the package script reads it too).
export QUORVEX_WERROR=ON
extra=(-DQUORVEX_WERROR=ON)
step() { echo "== windows: $* ($(date +%T))"; }

step "Qt and the package"
zip=$(scripts/package-windows.sh | tail -n 1)
# The licence texts of what the zip holds are in it.
listing=$(unzip -Z1 "$zip")
for f in README.txt Qt-source.txt Qt-copyright.txt LGPL-3.txt GPL-3.txt \
  GCC-RUNTIME-LIBRARY-EXCEPTION-3.1.txt GCC-copyright.txt mingw-w64-copyright.txt \
  CLI11-copyright.txt nlohmann-json-copyright.txt; do
  grep -qx "[^/]*/licenses/$f" <<<"$listing" || { echo "the zip lacks licenses/$f" >&2; exit 1; }
done

step "the core and its tests, cross-built"
cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DQUORVEX_CORE_ONLY=ON \
  -DQUORVEX_BUILD_TESTS=ON -DCMAKE_CROSSCOMPILING_EMULATOR="$root/scripts/wine-run.sh" \
  "${extra[@]}" >/dev/null
cmake --build build-win

step "the virtual board (Linux)"
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
fi
cmake --build build --target quorvex-vboard
vboard=$root/build/tools/vboard/quorvex-vboard

xvfb_pid="" peer_pid="" cli_boards=""
cleanup() {
  [ -n "$cli_boards" ] && { kill $cli_boards 2>/dev/null || true; }
  [ -n "$peer_pid" ] && { exec 8>&- || true; kill "$peer_pid" 2>/dev/null || true; }
  [ -d "$WINEPREFIX" ] && timeout 30 wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

rm -rf "$results"
mkdir -p "$results"

step "X server and a fresh wine prefix"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$results/display" \
  >"$results/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$results/display" ] && break
  sleep 0.1
done
[ -s "$results/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(head -n 1 "$results/display")
[ -d "$WINEPREFIX" ] && { timeout 30 wineserver -k 2>/dev/null || true; }
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
# A wine server of our own for the whole run, ended with it; it would print a dump of its
# objects into whichever log it inherited when told to end.
timeout 30 wineserver -p >/dev/null 2>&1
QUORVEX_WINE_TIMEOUT=180 scripts/wine-run.sh wineboot -i >"$results/wineboot.log" 2>&1

step "COM7 on a pseudo-terminal"
mkfifo "$results/peer.in"
python3 tests/link/pty_peer.py "$WINEPREFIX/dosdevices/com7" <"$results/peer.in" \
  >"$results/peer.out" 2>"$results/peer.log" &
peer_pid=$!
exec 8>"$results/peer.in" # the peer ends when this closes
for _ in $(seq 100); do
  grep -q '^ready' "$results/peer.out" 2>/dev/null && break
  sleep 0.1
done
peer_port=$(awk '/^ready/ { print $2 }' "$results/peer.out")
[ -n "$peer_port" ] || { echo "the line peer did not start" >&2; exit 1; }

# The ports wine's registry lists, as `reg query` shows them ("-": no such key).
if listing=$(scripts/wine-run.sh reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' 2>/dev/null); then
  serialcomm=$(echo "$listing" | tr -d '\r' | awk '$2 == "REG_SZ" { print $3 }' | paste -sd, -)
else
  serialcomm=-
fi
echo "wine's registry lists the serial ports: ${serialcomm:-none}"

step "the core's tests under wine"
# Each test program leaves its report in $results/gtest/, skipped cases included.
(cd build-win &&
  QUORVEX_TEST_COM=COM7 QUORVEX_TEST_PEER=$peer_port QUORVEX_TEST_SERIALCOMM=$serialcomm \
    GTEST_OUTPUT="xml:Z:${results//\//\\}\\gtest\\" \
    ctest --output-on-failure --timeout 600 --output-log "$results/ctest.log")
skipped=$(grep -ho '<testcase name="[^"]*"[^>]*result="skipped"[^>]*classname="[^"]*"' \
  "$results"/gtest/*.xml | sed 's/<testcase name="\([^"]*\)".*classname="\([^"]*\)"/\2.\1/' || true)
[ -z "$skipped" ] || echo "skipped under wine (see the reasons in $results/gtest/):" $skipped

step "the window's Update under wine against the virtual board"
python3 tests/app/wine_e2e.py --vboard "$vboard" --package "$zip" --out "$results" \
  --wine-run "$root/scripts/wine-run.sh"
step "the packed quorvex-cli.exe under wine: two virtual boards at once"
cli=$results/cli
mkdir -p "$cli/app"
(cd "$cli/app" && unzip -q "$zip")
cli_exe=$(find "$cli/app" -name quorvex-cli.exe | head -n 1)
[ -n "$cli_exe" ] || { echo "the package holds no quorvex-cli.exe" >&2; exit 1; }
"$vboard" --make-demo-images "$cli" >/dev/null
urls=()
for i in 1 2; do
  "$vboard" --flash "$cli/flash$i.bin" >"$cli/board$i.url" 2>"$cli/board$i.log" &
  cli_boards="$cli_boards $!"
  for _ in $(seq 100); do
    [ -s "$cli/board$i.url" ] && break
    sleep 0.1
  done
  urls+=(--port "$(head -n 1 "$cli/board$i.url")")
done
winpath() { echo "Z:${1//\//\\}"; }
printf '[CONFIG]\r\n' >"$cli/cli.ini"
scripts/wine-run.sh "$cli_exe" flash --json --no-auto-erase --settings "$(winpath "$cli/cli.ini")" \
  "${urls[@]}" --boot "$(winpath "$cli/boot.bin")" --part "$(winpath "$cli/part.bin")" \
  --firm "$(winpath "$cli/firm.bin")" >"$cli/result.json" 2>"$cli/progress.txt" ||
  { cat "$cli/result.json" "$cli/progress.txt"; echo "quorvex-cli.exe failed" >&2; exit 1; }
kill $cli_boards
wait $cli_boards 2>/dev/null || true
cli_boards=""
# The bootloader's header is patched on the way, so the check covers the other two.
for i in 1 2; do
  "$vboard" --check "$cli/flash$i.bin" --image "0x8000:$cli/part.bin" \
    --image "0x10000:$cli/firm.bin" >"$cli/check$i.txt"
done
echo "quorvex-cli.exe wrote both boards; results: $cli/result.json"
echo "== windows: all passed ($(date +%T)); picture of the window: $results/screenshot.png"
