#!/usr/bin/env bash
# The Debian package as a user gets it: unpacked into a throw-away folder of its own
# (never the machine's /usr), the installed programs answer --version with the project's
# version, the desktop entry passes desktop-file-validate and the AppStream metadata
# appstreamcli validate (offline), and everything that installs beside the programs is
# there.
#   tests/packaging/check-deb.sh PACKAGE.deb
set -euo pipefail
deb=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$(sed -n 's/^project(Quorvex VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
id=org.quorvex.Quorvex
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp"
fail() { echo "check-deb: $*" >&2; exit 1; }

[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package's version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libqt6widgets6 libudev1; do
  [[ $depends == *"$lib "* ]] || fail "Depends lacks $lib: $depends"
done

for p in quorvex quorvex-cli quorvex-vboard; do
  got=$(QT_QPA_PLATFORM=offscreen "$tmp/usr/bin/$p" --version)
  [ "$got" = "$p $version" ] || fail "$p --version said \"$got\""
done
"$tmp/usr/bin/quorvex" --help | grep -q -- '--version' || fail "quorvex --help does not list --version"

desktop-file-validate "$tmp/usr/share/applications/$id.desktop"
(cd "$tmp/usr/share/metainfo" && appstreamcli validate --no-net "$id.metainfo.xml")

for f in usr/share/icons/hicolor/scalable/apps/$id.svg \
  usr/share/icons/hicolor/{16x16,22x22,24x24,32x32,48x48,64x64,128x128,256x256}/apps/$id.png \
  usr/share/man/man1/quorvex.1.gz usr/share/man/man1/quorvex-cli.1.gz \
  usr/share/bash-completion/completions/quorvex-cli usr/share/zsh/vendor-completions/_quorvex-cli \
  usr/lib/udev/rules.d/70-quorvex.rules usr/share/doc/quorvex/copyright \
  usr/share/doc/quorvex/changelog.gz usr/share/doc/quorvex/licenses/README.txt \
  usr/share/doc/quorvex/licenses/CLI11-copyright.txt \
  usr/share/doc/quorvex/licenses/nlohmann-json-copyright.txt; do
  [ -s "$tmp/$f" ] || fail "the package lacks $f"
done
# Each PNG is the size its folder names.
for png in "$tmp"/usr/share/icons/hicolor/*x*/apps/$id.png; do
  size=$(basename "$(dirname "$(dirname "$png")")")
  w=$(od -An -tu1 -j16 -N8 "$png" | awk '{ print $3 * 256 + $4 "x" $7 * 256 + $8 }')
  [ "$w" = "$size" ] || fail "$png is $w"
done
# The manual pages render without a complaint from groff.
for m in quorvex quorvex-cli; do
  warnings=$(zcat "$tmp/usr/share/man/man1/$m.1.gz" | groff -man -Tutf8 -ww -z 2>&1 || true)
  [ -z "$warnings" ] || fail "groff about $m.1: $warnings"
done
echo "check-deb: $deb is good"
