#!/usr/bin/env bash
# Qt 6.4.2 for 64-bit Windows (Core, Gui, Widgets, Test, the Windows platform plugin and
# styles), cross-built with Debian's mingw-w64 (posix threads) from Debian's own qt6-base
# source package, with Debian's Qt 6.4.2 as the host tools. It goes into a cache folder
# outside the repository:
#   ${QUORVEX_QT_WIN:-$HOME/.cache/quorvex/qt-6.4.2-mingw64}
# and the script prints that folder on its last line.
#
# Nothing happens when the cache is already complete. When a prebuilt copy of exactly
# this build lies at ../shared/qt-6.4.2-mingw64.tar.xz (beside the clone, as in CI) it is
# unpacked instead of building (about half an hour on 2 cores); QUORVEX_QT_WIN_ARCHIVE names
# another place for it.
#
#   scripts/build-qt-windows.sh                   cache, archive or build from source
#   scripts/build-qt-windows.sh --from-source     ignore the archive
#   scripts/build-qt-windows.sh --configure-only  fetch the source and configure only
#                                                 (checks the build path; installs nothing)
# QUORVEX_QT_WIN_WORK (default $HOME/.cache/quorvex/qt-6.4.2-src) holds the source and the
# build tree; QUORVEX_QT_WIN_JOBS limits the build's parallel jobs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

qt_version=6.4.2
prefix=${QUORVEX_QT_WIN:-$HOME/.cache/quorvex/qt-$qt_version-mingw64}
work=${QUORVEX_QT_WIN_WORK:-$HOME/.cache/quorvex/qt-$qt_version-src}
archive=${QUORVEX_QT_WIN_ARCHIVE:-$root/../shared/qt-$qt_version-mingw64.tar.xz}
stamp=$prefix/.quorvex-complete

from_source=0
configure_only=0
for arg in "$@"; do
  case $arg in
    --from-source) from_source=1 ;;
    --configure-only) configure_only=1 from_source=1 ;;
    *) echo "usage: $0 [--from-source | --configure-only]" >&2; exit 2 ;;
  esac
done

# A complete cache has its stamp and the pieces the program's build and package use.
complete() {
  local d=$1
  [ -f "$d/.quorvex-complete" ] || return 1
  local f
  for f in lib/cmake/Qt6/Qt6Config.cmake lib/cmake/Qt6Widgets/Qt6WidgetsConfig.cmake \
    lib/cmake/Qt6Test/Qt6TestConfig.cmake bin/Qt6Core.dll bin/Qt6Gui.dll bin/Qt6Widgets.dll \
    plugins/platforms/qwindows.dll plugins/styles/qwindowsvistastyle.dll \
    mingw-w64-x86_64.cmake; do
    [ -e "$d/$f" ] || return 1
  done
}

if [ $configure_only -eq 0 ] && complete "$prefix"; then
  echo "$prefix"
  exit 0
fi

mkdir -p "$(dirname "$prefix")"
tmp=$prefix.partial
rm -rf "$tmp"

if [ $from_source -eq 0 ] && [ -f "$archive" ]; then
  echo "unpacking $archive" >&2
  mkdir -p "$tmp"
  tar -xJf "$archive" -C "$tmp" --strip-components=1
  touch "$tmp/.quorvex-complete"
  if ! complete "$tmp"; then
    echo "$archive lacks parts of the Qt build; remove it or use --from-source" >&2
    exit 1
  fi
  rm -rf "$prefix"
  mv "$tmp" "$prefix"
  echo "$prefix"
  exit 0
fi

# --- from source ---------------------------------------------------------------------
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# A deb-src entry for each Debian repository the machine already uses.
"$root/scripts/add-deb-src.sh"

# Build tools beyond what scripts/setup.sh installs: dpkg-source unpacks the package.
for p in dpkg-dev qt6-base-dev g++-mingw-w64-x86-64-posix cmake ninja-build; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$p"
done
host_qt=$(dpkg-query -W -f='${Version}' qt6-base-dev)
case $host_qt in
  $qt_version*) ;;
  *) echo "the host Qt is $host_qt, not $qt_version" >&2; exit 1 ;;
esac

mkdir -p "$work"
src=$(find "$work" -maxdepth 1 -type d -name "qt6-base-$qt_version*" | head -n 1)
if [ -z "$src" ] || [ ! -f "$src/CMakeLists.txt" ]; then
  (cd "$work" && apt-get source -q "qt6-base=$host_qt" >&2)
  src=$(find "$work" -maxdepth 1 -type d -name "qt6-base-$qt_version*" | head -n 1)
fi
[ -n "$src" ] && [ -f "$src/CMakeLists.txt" ] || { echo "no qt6-base source in $work" >&2; exit 1; }

# Qt's own toolchain file chains to this one by a path relative to the install, which
# keeps the result relocatable.
mkdir -p "$tmp"
{
  cat "$root/cmake/mingw-w64-x86_64.cmake"
  echo "set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)"
} >"$tmp/mingw-w64-x86_64.cmake"

build=$work/build
rm -rf "$build"
# Tablet support is off because the source package leaves out the header it needs.
cmake -S "$src" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$tmp/mingw-w64-x86_64.cmake" \
  -DCMAKE_INSTALL_PREFIX="$tmp" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_BUILD_TYPE=Release -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
  -DFEATURE_dbus=OFF -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_concurrent=OFF \
  -DFEATURE_xml=OFF -DFEATURE_printsupport=OFF -DFEATURE_opengl=OFF -DFEATURE_vulkan=OFF \
  -DINPUT_opengl=no -DFEATURE_system_zlib=OFF -DFEATURE_pkg_config=OFF \
  -DFEATURE_tabletevent=OFF >&2

if [ $configure_only -eq 1 ]; then
  rm -rf "$tmp"
  echo "configured $build (nothing built)" >&2
  exit 0
fi

cmake --build "$build" ${QUORVEX_QT_WIN_JOBS:+-j "$QUORVEX_QT_WIN_JOBS"} >&2
cmake --install "$build" >&2
touch "$tmp/.quorvex-complete"
complete "$tmp" || { echo "the Qt build in $tmp is incomplete" >&2; exit 1; }
rm -rf "$prefix"
mv "$tmp" "$prefix"
rm -rf "$build"
echo "$prefix"
