#!/usr/bin/env bash
# The realistic ESP32 application image the benchmarks flash, and its next build.
#
# Real machine code and constant data: Debian's source packages of SQLite, mbed TLS, lwIP
# and zlib, with the small logger application and C library subset of bench/realistic/,
# compiled with the project's Xtensa cross compiler at -Os, linked as an application
# (constant data on the flash data bus, code on the flash instruction bus, a little RAM
# code and data) and packed in the application image format. Nothing of the libraries'
# source is kept in the repository.
#
#   scripts/realistic-image.sh           build once, then print both images' paths,
#                                        sizes, zlib ratios and the sectors that differ
#   scripts/realistic-image.sh --paths   only the two paths, one a line (for scripts)
#
# Cache: ${XDG_CACHE_HOME:-~/.cache}/quorvex/realistic (or $QUORVEX_REALISTIC_CACHE):
# src/ holds the unpacked source packages, and one folder per build key (the cross tools'
# versions, the package versions and the contents of bench/realistic/ and this script)
# holds app.bin, app-next.bin, the ELF files and the link maps. The first run fetches and
# builds (a minute or two on two cores); later runs only print.
#
# The next build: publish_batch() in bench/realistic/app/app_main.c gains one check
# (APP_NEXT_BUILD), and the application is rebuilt and relinked. A change of one
# function's body nearly always changes its size, and a relink then moves every function
# linked after it: their bytes, and every call and pointer that reaches them (literal
# pools, the libraries' tables of function pointers in the constant data), change too.
# The application's own objects come first in the link, as in `cc app.o -llibs`, so the
# code from that function to the end differs; the constant data differs where it holds
# code addresses, and in the application description (the ELF's digest). A same-size
# edit would touch two or three sectors and stand for no real next build, so it is not
# the one made here.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
here=$root/bench/realistic

paths_only=0
for arg in "$@"; do
  case $arg in
    --paths) paths_only=1 ;;
    *) echo "usage: $0 [--paths]" >&2; exit 2 ;;
  esac
done

cache=${QUORVEX_REALISTIC_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvex/realistic}
mkdir -p "$cache/src"
started=$(date +%s%N)

# Several benchmarks may ask at once: one builds, the others wait for it.
exec 9>"$cache/.lock"
flock 9

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
need() { # need PACKAGE COMMAND: install PACKAGE unless COMMAND is there
  command -v "$2" >/dev/null 2>&1 && return 0
  echo "realistic-image: installing $1 (for $2)" >&2
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$1" >&2
}
need gcc-xtensa-lx106 xtensa-lx106-elf-gcc
need binutils-xtensa-lx106 xtensa-lx106-elf-ld
need python3 python3
gcc_x=xtensa-lx106-elf-gcc

# ---- sources: Debian source packages, fetched once -----------------------------------
PKGS=(sqlite3 mbedtls lwip zlib)

# Prints the folder of PKG's unpacked source, fetching it first when the cache lacks it.
source_of() {
  local pkg=$1 d
  for d in "$cache/src/$pkg"_*/; do
    [ -f "$d/.complete" ] && { echo "${d%/}"; return 0; }
  done
  need dpkg-dev dpkg-source
  need xz-utils xz
  need bzip2 bzip2
  # Newest first; a version the mirror no longer carries is skipped.
  versions() { { apt-cache showsrc "$pkg" 2>/dev/null || true; } | awk '/^Version:/ { print $2 }' | sort -u | sort -rV; }
  local v tmp list
  list=$(versions)
  if [ -z "$list" ]; then
    echo "realistic-image: adding deb-src entries so that apt can fetch $pkg's source" >&2
    "$root/scripts/add-deb-src.sh"
    list=$(versions)
    [ -n "$list" ] || { $SUDO apt-get update -q >&2; list=$(versions); }
  fi
  for v in $list; do
    tmp=$(mktemp -d "$cache/src/.fetch.XXXXXX")
    echo "realistic-image: fetching the source of $pkg $v" >&2
    if (cd "$tmp" && apt-get source -q "$pkg=$v" >"$tmp/.log" 2>&1); then
      d=$(find "$tmp" -mindepth 1 -maxdepth 1 -type d | head -n 1)
      local dest="$cache/src/${pkg}_$v"
      rm -rf "$dest"
      mv "$d" "$dest"
      echo "$v" >"$dest/.complete"
      rm -rf "$tmp"
      echo "$dest"
      return 0
    fi
    tail -n 3 "$tmp/.log" >&2
    rm -rf "$tmp"
  done
  echo "realistic-image: apt could not fetch the source of $pkg" >&2
  return 1
}

declare -A SRC VER
for p in "${PKGS[@]}"; do
  SRC[$p]=$(source_of "$p")
  VER[$p]=$(cat "${SRC[$p]}/.complete")
done

# ---- the build key -------------------------------------------------------------------
key=$({
  "$gcc_x" --version | head -n 1
  xtensa-lx106-elf-ld --version | head -n 1
  for p in "${PKGS[@]}"; do echo "$p ${VER[$p]}"; done
  (cd "$root" && find bench/realistic scripts/realistic-image.sh -type f ! -name '*.pyc' | sort |
    xargs sha256sum)
} | sha256sum | cut -c1-16)
out=$cache/$key

build() {
  need tcl tclsh   # SQLite makes its single-file source with Tcl scripts
  need gcc cc
  need make make
  work=$(mktemp -d "$cache/.build.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  local t0
  t0=$(date +%s)
  echo "realistic-image: building (first run for this key: a minute or two)" >&2

  # SQLite's single-file source ("amalgamation"), made by its own build.
  mkdir -p "$work/sqlite"
  (cd "$work/sqlite" && "${SRC[sqlite3]}/configure" --disable-tcl >"$work/sqlite.log" 2>&1 &&
    nice make sqlite3.c >>"$work/sqlite.log" 2>&1) ||
    { tail -n 20 "$work/sqlite.log" >&2; echo "realistic-image: SQLite's source did not build" >&2; exit 1; }

  local gi
  gi=$("$gcc_x" -print-file-name=include)
  local m=${SRC[mbedtls]} l=${SRC[lwip]} z=${SRC[zlib]}
  # Freestanding: only the compiler's own headers and the declaration-only ones of
  # bench/realistic/include; -mlongcalls because the code is larger than a direct call
  # reaches (the linker turns the calls that do reach back into direct ones).
  cat >"$work/cflags" <<EOF
-Os -g0 -mlongcalls -ffreestanding -ffunction-sections -fdata-sections
-Werror=implicit-function-declaration -nostdinc
-isystem $gi -isystem $gi-fixed -isystem $here/include
-I$here/port -I$l/src/include -I$m/include -I$z -I$work/sqlite
-DMBEDTLS_USER_CONFIG_FILE=<mbedtls_user_config.h>
-DSQLITE_OS_OTHER=1 -DSQLITE_THREADSAFE=0 -DSQLITE_OMIT_LOAD_EXTENSION -DSQLITE_OMIT_FLOATING_POINT
EOF
  # The application first, then the libraries, then the C library subset, as a link
  # line names them.
  local app=("$here/app/start.c" "$here/app/app_main.c")
  local libc=("$here/app/runtime.c" "$here/app/arith.c")
  local libs=("$work/sqlite/sqlite3.c")
  local f
  for f in "$m"/library/*.c; do
    case $(basename "$f") in net_sockets.c | timing.c | psa_its_file.c) continue ;; esac
    libs+=("$f")
  done
  libs+=("$l"/src/core/*.c "$l"/src/core/ipv4/*.c "$l"/src/core/ipv6/*.c "$l/src/netif/ethernet.c"
    "$l"/src/apps/sntp/*.c "$l"/src/apps/mqtt/*.c "$l"/src/apps/mdns/*.c "$l"/src/apps/altcp_tls/*.c
    "$l/src/apps/http/http_client.c" "$l/src/apps/http/httpd.c" "$l/src/apps/http/fs.c")
  for f in adler32 compress crc32 deflate infback inffast inflate inftrees trees uncompr zutil; do
    libs+=("$z/$f.c")
  done

  # One object per source, named after its path; the libraries' own warnings are theirs.
  mkdir -p "$work/obj"
  obj() { local o=${1#"$cache"/src/}; o=${o#"$root"/}; o=${o#"$work"/}; echo "$work/obj/${o//\//_}.o"; }
  export -f obj
  export cache root work gcc_x
  compile() { # compile EXTRA_FLAGS SOURCE...
    local extra=$1
    shift
    printf '%s\n' "$@" | nice xargs -P "$(nproc)" -I{} bash -c \
      'o=$(obj "$1"); '"$gcc_x"' @"$work/cflags" '"$extra"' -c "$1" -o "$o" 2>"$o.log" || { cat "$o.log" >&2; exit 255; }' _ {}
  }
  compile "-Wall -Wextra -Werror" "${app[@]}" "${libc[@]}"
  compile "" "${libs[@]}"

  link() { # link ELF: the objects in link order
    local elf=$1 s objs=()
    if [ "$elf" = "$work/app-next.elf" ]; then
      objs=("$work/obj/next_start.o" "$work/obj/next_app_main.o")
    else
      for s in "${app[@]}"; do objs+=("$(obj "$s")"); done
    fi
    for s in "${libs[@]}" "${libc[@]}"; do objs+=("$(obj "$s")"); done
    "$gcc_x" -nostdlib -T "$here/app.ld" -Wl,--orphan-handling=error -Wl,-Map="${elf%.elf}.map" \
      -o "$elf" "${objs[@]}" -lgcc
    python3 "$here/esp32_image.py" image "$elf" "${elf%.elf}.bin"
  }
  link "$work/app.elf"
  # The next build: the application's sources again with the one change, relinked.
  "$gcc_x" @"$work/cflags" -Wall -Wextra -Werror -DAPP_NEXT_BUILD -c "$here/app/start.c" -o "$work/obj/next_start.o"
  "$gcc_x" @"$work/cflags" -Wall -Wextra -Werror -DAPP_NEXT_BUILD -c "$here/app/app_main.c" -o "$work/obj/next_app_main.o"
  link "$work/app-next.elf"

  {
    echo "code bases: SQLite ${VER[sqlite3]}, mbed TLS ${VER[mbedtls]}, lwIP ${VER[lwip]}, zlib ${VER[zlib]}"
    echo "compiler: $("$gcc_x" --version | head -n 1), -Os"
  } >"$work/about.txt"
  mkdir -p "$work/result"
  mv "$work"/app.elf "$work"/app.map "$work"/app.bin "$work"/app-next.elf "$work"/app-next.map \
    "$work"/app-next.bin "$work/about.txt" "$work/result/"
  echo "built in $(($(date +%s) - t0)) s" >>"$work/result/about.txt"
  rm -rf "$out"
  mv "$work/result" "$out"
  rm -rf "$work"
  trap - EXIT
}

[ -f "$out/app.bin" ] && [ -f "$out/app-next.bin" ] && [ -f "$out/about.txt" ] || build

if [ $paths_only -eq 1 ]; then
  echo "$out/app.bin"
  echo "$out/app-next.bin"
  exit 0
fi
cat "$out/about.txt"
python3 "$here/esp32_image.py" report "$out/app.bin" "$out/app-next.bin"
awk -v ns=$(($(date +%s%N) - started)) 'BEGIN { printf "this run: %.2f s\n", ns / 1e9 }'
