#!/usr/bin/env bash
# Rebuilds the flasher stub from firmware/stub and compares it with the
# committed resources/stub_esp32.bin, so the blob the program embeds is always
# exactly this source.
#   check-blob.sh [BUILD_DIR]            fails when the committed blob differs
#   check-blob.sh --update [BUILD_DIR]   writes the rebuilt blob into resources/
# Needs Debian's gcc-xtensa-lx106 and binutils-xtensa-lx106.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
update=0
if [ "${1:-}" = "--update" ]; then
  update=1
  shift
fi
build=${1:-$root/build-stub}
committed=$root/resources/stub_esp32.bin

command -v xtensa-lx106-elf-gcc >/dev/null ||
  { echo "check-blob: xtensa-lx106-elf-gcc not installed" >&2; exit 1; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUORVEX_CORE_ONLY=ON -DQUORVEX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target stub_firmware
built=$build/firmware/stub/stub_esp32.bin

if [ "$update" = 1 ]; then
  cp "$built" "$committed"
  echo "check-blob: resources/stub_esp32.bin updated"
elif cmp -s "$built" "$committed"; then
  echo "check-blob: resources/stub_esp32.bin matches firmware/stub"
else
  echo "check-blob: resources/stub_esp32.bin differs from the stub built from firmware/stub" >&2
  echo "check-blob: rebuild it with firmware/stub/check-blob.sh --update and commit it" >&2
  exit 1
fi
