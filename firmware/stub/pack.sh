#!/usr/bin/env bash
# Checks the cross-built stub ELF and packs it into the blob the program embeds.
#   pack.sh [--fast] ELF STUBPACK OUT.bin [TOOLPREFIX]
# Fails (non-zero) when the image breaks a rule the ROM loader or the chip imposes:
#   - code at 0x400BE000, at most 3288 bytes; nothing else loaded into IRAM;
#   - initialised data exactly 4 bytes at 0x3FFDEBA8, and no other loaded section;
#   - no windowed-register instruction anywhere in the code (only call0 ABI);
#   - no function before the entry point, so the disassembly checked covers all code.
# With --fast, the fast stub (stub_fast.ld): code at 0x40080000, at most 128 KiB;
# initialised data (with the constants) at 0x3FFB0000, at most 64 KiB; packed
# into the fast stub's own blob format.
set -euo pipefail
fast=0
if [ "${1:-}" = "--fast" ]; then
  fast=1
  shift
fi
elf=$1 stubpack=$2 out=$3 prefix=${4:-xtensa-lx106-elf-}
if [ "$fast" = 1 ]; then
  TEXT_START=0x40080000 TEXT_MAX=131072 DATA_START=0x3ffb0000 DATA_MAX=65536
else
  TEXT_START=0x400be000 TEXT_MAX=3288 DATA_START=0x3ffdeba8 DATA_SIZE=4
fi
fail() { echo "stub check: $*" >&2; exit 1; }

# Loaded sections: name, size, address.
sections=$("${prefix}objdump" -h "$elf" | awk '
  /^ *[0-9]+ / { name=$2; size=$3; vma=$4; getline; if ($0 ~ /LOAD/) print name, size, vma }')
text=$(awk '$1==".text"' <<<"$sections")
data=$(awk '$1==".data"' <<<"$sections")
[ -n "$text" ] || fail "no .text section"
[ -n "$data" ] || fail "no .data section"
others=$(awk '$1!=".text" && $1!=".data" {print $1}' <<<"$sections")
[ -z "$others" ] || fail "unexpected loaded sections: $others"
read -r _ tsize tvma <<<"$text"
read -r _ dsize dvma <<<"$data"
(( 16#$tvma == TEXT_START )) || fail ".text at 0x$tvma, not $TEXT_START"
(( 16#$tsize <= TEXT_MAX )) || fail ".text is $((16#$tsize)) bytes, more than $TEXT_MAX"
(( 16#$dvma == DATA_START )) || fail ".data at 0x$dvma, not $DATA_START"
if [ "$fast" = 1 ]; then
  (( 16#$dsize <= DATA_MAX )) || fail ".data is $((16#$dsize)) bytes, more than $DATA_MAX"
else
  (( 16#$dsize == DATA_SIZE )) || fail ".data is $((16#$dsize)) bytes, not $DATA_SIZE"
fi

entry=$("${prefix}nm" "$elf" | awk '$3=="stub_entry" {print $1}')
[ -n "$entry" ] || fail "no stub_entry symbol"
# Literals come first in .text; every function must start at or after the entry.
early=
while read -r addr type name; do
  if [[ $type == [Tt] ]] && (( 16#$addr < 16#$entry )); then early+=" $name"; fi
done < <("${prefix}nm" "$elf")
[ -z "$early" ] || fail "code before the entry point:$early"

windowed=$("${prefix}objdump" -d --start-address="0x$entry" "$elf" |
  grep -E '^\s*[0-9a-f]+:\s+[0-9a-f]+\s+(entry|retw|retw\.n|call4|call8|call12|callx4|callx8|callx12|movsp|rotw|l32e|s32e)\b' || true)
[ -z "$windowed" ] || fail "windowed-register instructions found:
$windowed"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"${prefix}objcopy" -O binary -j .text "$elf" "$tmp/code.bin"
"${prefix}objcopy" -O binary -j .data "$elf" "$tmp/data.bin"
if [ "$fast" = 1 ]; then
  "$stubpack" --fast "$out" --entry "0x$entry" "$TEXT_START:$tmp/code.bin" "$DATA_START:$tmp/data.bin"
  echo "fast stub: code $((16#$tsize)) bytes, data $((16#$dsize)) bytes, entry 0x$entry -> $out"
else
  "$stubpack" "$tmp/code.bin" "$tmp/data.bin" "$out" \
    --text-start "$TEXT_START" --entry "0x$entry" --data-start "$DATA_START"
  echo "stub: code $((16#$tsize))/$TEXT_MAX bytes, data $((16#$dsize)) bytes, entry 0x$entry -> $out"
fi
