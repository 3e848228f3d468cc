#!/usr/bin/env bash
# Rebuilds both flasher stubs from firmware/stub and compares them with the committed
# resources/stub_esp32.bin (the standard stub) and resources/stub_esp32_fast.bin (the
# fast path's), so the blobs the program embeds are always exactly this source.
#   check-blob.sh [BUILD_DIR]            fails when a committed blob differs
#   check-blob.sh --update [BUILD_DIR]   writes the rebuilt blobs into resources/
# Needs Debian's gcc-xtensa-lx106 and binutils-xtensa-lx106.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
update=0
if [ "${1:-}" = "--update" ]; then
  update=1
  shift
fi
build=${1:-$root/build-stub}
command -v xtensa-lx106-elf-gcc >/dev/null ||
  { echo "check-blob: xtensa-lx106-elf-gcc not installed" >&2; exit 1; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUORVEX_CORE_ONLY=ON -DQUORVEX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target stub_firmware
status=0
for blob in stub_esp32.bin stub_esp32_fast.bin; do
  built=$build/firmware/stub/$blob
  committed=$root/resources/$blob
  if [ "$update" = 1 ]; then
    cp "$built" "$committed"
    echo "check-blob: resources/$blob updated"
  elif cmp -s "$built" "$committed"; then
    echo "check-blob: resources/$blob matches firmware/stub"
  else
    echo "check-blob: resources/$blob differs from the stub built from firmware/stub" >&2
    echo "check-blob: rebuild it with firmware/stub/check-blob.sh --update and commit it" >&2
    status=1
  fi
done
exit $status
