#!/usr/bin/env bash
# Sets up the machine, builds, and runs the demo: generated images, a virtual board on
# the loopback address and the program configured for it. Press Update and watch a
# real run. Without a display the same demo runs under Xvfb, pressing Update itself,
# saving a screenshot and printing the board's check of its flash.
# Ends when the window is closed (or on Ctrl-C) and leaves nothing running.
# Arguments go to the virtual board: `scripts/run.sh --stub-core machine` runs the
# uploaded stub's machine code on the simulated ESP32.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh
scripts/build.sh

demo=$root/build/demo
vboard=$root/build/tools/vboard/quorvex-vboard
mkdir -p "$demo"
"$vboard" --make-demo-images "$demo"
# The program reads its settings from its own folder: a copy of it with the demo's
# settings beside it leaves the build's own program untouched.
cp "$root/build/src/app/quorvex" "$demo/quorvex"
rm -f "$demo/flash.bin" "$demo/trace.jsonl" "$demo/board.out" "$demo/screenshot.png"

board_pid=""
cleanup() {
  if [ -n "$board_pid" ] && kill -0 "$board_pid" 2>/dev/null; then
    kill "$board_pid" 2>/dev/null || true
    wait "$board_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$vboard" --port 0 --flash "$demo/flash.bin" --trace "$demo/trace.jsonl" "$@" \
  >"$demo/board.out" 2>"$demo/board.log" &
board_pid=$!
url=""
for _ in $(seq 100); do
  url=$(head -n 1 "$demo/board.out" 2>/dev/null || true)
  [ -n "$url" ] && break
  kill -0 "$board_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$url" ]; then
  echo "the virtual board did not start; see $demo/board.log" >&2
  exit 1
fi
echo "virtual board listening at $url"

cat >"$demo/Quorvex.ini" <<EOF
[CONFIG]
NetPorts=$url
ComPort=$url
AutoErase=1
[FILES]
Bootloader=boot.bin
Partitions=part.bin
Firmware=firm.bin
EOF

cd "$demo"
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  ./quorvex
else
  echo "No display found: running the demo under Xvfb, pressing Update automatically."
  xvfb-run -a ./quorvex --demo-autorun="$demo/screenshot.png"
fi
cleanup
board_pid=""
echo "board's check of its flash:"
"$vboard" --check "$demo/flash.bin" --image 0x1000:boot.bin --image 0x8000:part.bin \
  --image 0x10000:firm.bin || true
