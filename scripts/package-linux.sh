#!/usr/bin/env bash
# Makes the Debian package build/deb/quorvex_<version>_<arch>.deb from the build in
# build/ (configured and built here when it is missing or stale): `cmake --install` into a
# staging tree, the binaries stripped, the manual pages and the changelog compressed, the
# copyright file and the licence texts of what the programs hold, the dependencies found
# from the binaries by dpkg-shlibdeps, then dpkg-deb and lintian. Prints the package's path
# last. QUORVEX_BUILD=DIR uses another build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh

build=${QUORVEX_BUILD:-$root/build}
out=$root/build/deb
version=$(sed -n 's/^project(Quorvex VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no project version in CMakeLists.txt" >&2; exit 1; }
arch=$(dpkg --print-architecture)

if [ ! -f "$build/CMakeCache.txt" ]; then
  extra=()
  [ "${CI:-}" = "true" ] && extra+=(-DQUORVEX_WERROR=ON)
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
fi
cmake --build "$build" --target quorvex quorvex-cli quorvex-vboard quorvex_packaging

# The staging tree lies where dpkg-shlibdeps looks for a package's files.
work=$out/work
stage=$work/debian/quorvex
rm -rf "$work"
mkdir -p "$stage"
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
for p in quorvex quorvex-cli quorvex-vboard; do
  [ -x "$stage/usr/bin/$p" ] || { echo "the installation lacks usr/bin/$p" >&2; exit 1; }
  strip --strip-unneeded --remove-section=.comment --remove-section=.note "$stage/usr/bin/$p"
done
for m in quorvex quorvex-cli; do
  [ -f "$stage/usr/share/man/man1/$m.1" ] || { echo "the installation lacks the manual page of $m" >&2; exit 1; }
done
gzip -9n "$stage"/usr/share/man/man1/*.1

doc=$stage/usr/share/doc/quorvex
mkdir -p "$doc"
gzip -9nc packaging/debian/changelog >"$doc/changelog.gz"
# The licence texts of what the programs hold; fails for a shipped library without one.
included=$(python3 scripts/licenses.py --style debian "$stage" "$doc/licenses")
echo "licence texts in the package:" $included
# The copyright file: ours, then the licences its paragraphs name, verbatim from the
# Debian packages that state them.
paragraph() { # FILE LICENCE: the stand-alone "License: LICENCE" paragraph of FILE
  awk -v want="License: $2" 'BEGIN { RS = ""; ORS = "\n" } $0 ~ "^" want "\n" { print; exit }' "$1"
}
{
  cat packaging/debian/copyright.in
  for l in "/usr/share/doc/libcli11-dev/copyright BSD-3-clause" \
           "/usr/share/doc/nlohmann-json3-dev/copyright Expat"; do
    set -- $l
    text=$(paragraph "$1" "$2")
    [ -n "$text" ] || { echo "$1 holds no paragraph License: $2" >&2; exit 1; }
    printf '\n%s\n' "$text"
  done
} >"$doc/copyright"

# Permissions as Debian has them, whatever the umask of the build.
find "$stage" -type d -exec chmod 0755 {} +
find "$stage" -type f -exec chmod 0644 {} +
chmod 0755 "$stage"/usr/bin/*

# Dependencies from the binaries: dpkg-shlibdeps wants a debian/control to read.
printf 'Source: quorvex\n\nPackage: quorvex\nArchitecture: any\n' >"$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O -edebian/quorvex/usr/bin/quorvex -edebian/quorvex/usr/bin/quorvex-cli \
  -edebian/quorvex/usr/bin/quorvex-vboard | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "dpkg-shlibdeps found no dependencies" >&2; exit 1; }
# The header-only libraries compiled into the programs, by their source packages.
built_using=$(dpkg-query -W -f='${source:Package} (= ${source:Version}), ' libcli11-dev \
  nlohmann-json3-dev | sed 's/, $//')

mkdir -p "$stage/DEBIAN"
cat >"$stage/DEBIAN/control" <<CONTROL
Package: quorvex
Version: $version
Architecture: $arch
Maintainer: Quorvex developers <quorvex@users.noreply.invalid>
Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)
Depends: $depends
Built-Using: $built_using
Section: electronics
Priority: optional
Description: writes firmware into ESP32 boards through a USB serial adapter
 Quorvex writes the bootloader, the partition table and the application image
 into the flash of an ESP32 board: it resets the board into its ROM loader
 through the adapter's DTR and RTS lines, uploads a small flasher stub, writes
 the images and resets the board again.
 .
 The package holds the window (quorvex), the same work from a terminal on
 several boards at once (quorvex-cli) and a simulated ESP32 board reachable as
 an RFC 2217 port for trying both without hardware (quorvex-vboard). Its udev
 rule gives the logged-in user access to the USB serial adapters that ESP32
 boards carry.
CONTROL
(cd "$stage" && find usr -type f -exec md5sum {} + | sort -k2) >"$stage/DEBIAN/md5sums"
chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"

deb=$out/quorvex_${version}_${arch}.deb
rm -f "$deb"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
# Errors and warnings fail the package, except the tags packaging/debian/lintian-accepted
# names, each with the reason it stays.
lintian --tag-display-limit 0 --fail-on error,warning \
  --suppress-tags-from-file packaging/debian/lintian-accepted "$deb" >&2
echo "$deb"
