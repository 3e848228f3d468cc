#!/usr/bin/env bash
# Cross-builds the program for 64-bit Windows with Debian's mingw-w64 and the Qt of
# scripts/build-qt-windows.sh, and packs build/windows/Quorvex-<version>-win64.zip: the
# programs, the Qt DLLs and plugins they load, the mingw runtime DLLs, a README and the
# licence texts of all that (licenses\, from scripts/licenses.py).
# Every DLL a packed file imports must be in the package or one of Windows' own; the
# script checks that and fails otherwise, so the zip runs on a clean Windows machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/windows

# The programs to pack, by target name: the first must be built, the others are packed
# when this tree builds them.
programs=(quorvex quorvex-cli)
# Qt plugins the programs load at run time (the platform and the widget style).
qt_plugins=(platforms/qwindows.dll styles/qwindowsvistastyle.dll)

scripts/setup.sh
qt=$(scripts/build-qt-windows.sh | tail -n 1)
version=$(sed -n 's/^project(Quorvex VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no project version in CMakeLists.txt" >&2; exit 1; }

# The runtime DLLs of Debian's mingw-w64 (posix threads).
mingw_dirs=(
  "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")"
  /usr/x86_64-w64-mingw32/lib
)

build=$out/build
extra=()
# Warnings are errors in CI and in the Windows tests (QUORVEX_WERROR=ON).
[ "${CI:-}" = "true" ] || [ "${QUORVEX_WERROR:-}" = "ON" ] && extra+=(-DQUORVEX_WERROR=ON)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_FIND_ROOT_PATH="/usr/x86_64-w64-mingw32;$qt" -DCMAKE_PREFIX_PATH="$qt" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DQUORVEX_BUILD_TESTS=OFF "${extra[@]}" >/dev/null
cmake --build "$build"

name=Quorvex-$version-win64
stage=$out/$name
rm -rf "$stage" "$out/$name.zip"
mkdir -p "$stage"

for p in "${programs[@]}"; do
  exe=$(find "$build/src" -name "$p.exe" -type f | head -n 1)
  if [ -z "$exe" ]; then
    [ "$p" = "${programs[0]}" ] && { echo "$p.exe was not built" >&2; exit 1; }
    continue
  fi
  x86_64-w64-mingw32-strip -o "$stage/$p.exe" "$exe"
done
for plugin in "${qt_plugins[@]}"; do
  mkdir -p "$stage/$(dirname "$plugin")"
  x86_64-w64-mingw32-strip --strip-unneeded -o "$stage/$plugin" "$qt/plugins/$plugin"
done

# Windows' own DLLs: the system provides them, so the package must not carry them.
is_system_dll() {
  case ${1,,} in
    api-ms-win-*.dll | ext-ms-win-*.dll) return 0 ;;
    advapi32.dll | authz.dll | bcrypt.dll | cfgmgr32.dll | comctl32.dll | comdlg32.dll | \
      crypt32.dll | d2d1.dll | d3d9.dll | d3d11.dll | d3d12.dll | dwmapi.dll | dwrite.dll | \
      dxgi.dll | gdi32.dll | imm32.dll | iphlpapi.dll | kernel32.dll | mpr.dll | msvcrt.dll | \
      netapi32.dll | ntdll.dll | ole32.dll | oleaut32.dll | rpcrt4.dll | secur32.dll | \
      setupapi.dll | shcore.dll | shell32.dll | shlwapi.dll | ucrtbase.dll | \
      uiautomationcore.dll | user32.dll | userenv.dll | uxtheme.dll | version.dll | \
      winmm.dll | ws2_32.dll | wtsapi32.dll) return 0 ;;
  esac
  return 1
}
imports() { x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'; }

# Pull in every DLL the packed files import, transitively, from Qt or mingw-w64.
pending=$(find "$stage" -name '*.exe' -o -name '*.dll')
while [ -n "$pending" ]; do
  next=""
  for f in $pending; do
    for dll in $(imports "$f"); do
      is_system_dll "$dll" && continue
      [ -e "$stage/$dll" ] && continue
      from=""
      for d in "$qt/bin" "${mingw_dirs[@]}"; do
        [ -f "$d/$dll" ] && { from=$d/$dll; break; }
      done
      if [ -z "$from" ]; then
        echo "$(basename "$f") needs $dll, which is neither Windows' own nor found" >&2
        exit 1
      fi
      # Without their debugging symbols the DLLs are a third of their size.
      x86_64-w64-mingw32-strip --strip-unneeded -o "$stage/$dll" "$from"
      next+=" $stage/$dll"
    done
  done
  pending=$next
done

# The check the zip stands on: every import of every packed file is satisfied.
missing=0
while IFS= read -r f; do
  for dll in $(imports "$f"); do
    is_system_dll "$dll" || [ -e "$stage/$dll" ] || {
      echo "$(basename "$f") needs $dll, which the package lacks" >&2
      missing=1
    }
  done
done < <(find "$stage" -name '*.exe' -o -name '*.dll')
[ $missing -eq 0 ] || exit 1

# Each program carries the application icon and a version resource of this version.
for exe in "$stage"/*.exe; do
  rc=$(x86_64-w64-mingw32-windres -i "$exe" -O rc 2>&1) || { echo "$exe: $rc" >&2; exit 1; }
  file=$(basename "$exe")
  for want in "RT_GROUP_ICON" "VERSIONINFO" "VALUE \"FileVersion\", \"$version.0\"" \
    "VALUE \"OriginalFilename\", \"$file\""; do
    grep -qF "$want" <<<"$rc" || { echo "$file lacks its resource: $want" >&2; exit 1; }
  done
done

# The licence texts of what the package holds; fails for a DLL without one.
included=$(python3 scripts/licenses.py --style windows "$stage" "$stage/licenses")
echo "licence texts in the package:" $included >&2

packed=$(cd "$stage" && ls *.exe | tr '\n' ' ')
cat >"$stage/README.txt" <<EOF
Quorvex $version for 64-bit Windows

Quorvex writes firmware into ESP32 boards through a USB serial adapter.

Unpack this folder anywhere and start quorvex.exe. Nothing needs to be installed:
the Qt and C++ runtime DLLs it uses are beside it (platforms\\ and styles\\ hold the
Qt plugins). Programs in this package: $packed

Pick the bootloader, partition table and application images, choose the COM port of
the adapter and press Update (or Erase). The settings are kept in Quorvex.ini beside
quorvex.exe; where that folder cannot be written (under Program Files, say) they are kept
in %APPDATA%\\Quorvex\\Quorvex.ini instead. Start it with -d to see the debug log.

The licences of the other projects' code in this package (Qt, the GCC runtime,
winpthreads, CLI11, JSON for Modern C++) are in licenses\\, listed in its README.txt,
which also says where the source of Qt is.
EOF
sed -i 's/$/\r/' "$stage/README.txt"

(cd "$out" && zip -q -r -9 "$name.zip" "$name")
echo "$out/$name.zip"
