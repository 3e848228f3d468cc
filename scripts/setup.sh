#!/usr/bin/env bash
# Installs, on Debian 12, exactly what the build, the tests and the demo need.
# Idempotent: packages already present are not touched and apt is asked only when
# something is missing.
set -euo pipefail

PKGS=(
  build-essential cmake ninja-build pkg-config     # the build
  qt6-base-dev qt6-svg-dev                        # windows and the SVG icons
  libgtest-dev libgmock-dev                       # tests
  libudev-dev                                     # port list and USB watcher on Linux
  libcli11-dev nlohmann-json3-dev                 # quorvex-cli: arguments, --json (header-only)
  zlib1g-dev                                      # the fast path: the images deflated on the host
  umockdev                                        # quorvex-cli tests: USB serial adapters made up
  python3 python3-serial                          # blob layout check, RFC 2217 interop tests
  g++-mingw-w64-x86-64-posix                      # Windows cross build of the core
  googletest zip dpkg-dev                         # Windows tests, package, Qt source
  libz-mingw-w64 libz-mingw-w64-dev               # zlib in the Windows build, its licence text
  wine wine64                                     # the Windows build's tests
  gcc-xtensa-lx106 binutils-xtensa-lx106          # the flasher stub firmware
  clang libclang-rt-14-dev                        # fuzz targets
  xvfb xauth fonts-dejavu-core                    # the demo without a display, offscreen text
  openbox wmctrl x11-utils                        # the window's placement under a window manager
  fonts-crosextra-carlito                         # metric twin of Calibri, the message box font
  dpkg-dev lintian desktop-file-utils appstream   # the Debian package and its checks
  groff-base bash-completion zsh                  # manual pages, completions: their tests
)

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
# Refresh the package lists only when they are missing or older than a day.
if [ -z "$(find /var/lib/apt/lists -maxdepth 1 -name '*Packages*' -mtime -1 2>/dev/null | head -n 1)" ]; then
  $SUDO apt-get update -q
fi
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
