#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test:
#   1. the full build (warnings as errors) and all tests through CTest, GUI tests offscreen,
#      then the Debian package made from it (scripts/package-linux.sh), linted and checked
#      unpacked in a throw-away folder (tests/packaging/check-deb.sh);
#   2. the Qt-free core again with AddressSanitizer and UndefinedBehaviorSanitizer, and its tests;
#   3. the Windows build and its tests under wine (scripts/test-windows.sh): the package, the
#      core's tests, the Win32 serial backend on a pty-mapped COM port, an Update of the window
#      against the virtual board;
#   4. the flasher stub rebuilt with the Xtensa cross compiler and compared with the committed blob;
#   5. the fuzz targets for a few seconds each (clang).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

echo "== full build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_WERROR=ON
cmake --build build
(cd build && ctest --output-on-failure -j "$jobs")

echo "== Debian package: built from that build, linted, unpacked and checked"
deb=$(scripts/package-linux.sh | tail -n 1)
tests/packaging/check-deb.sh "$deb"

echo "== sanitizer build of the core and its tests"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVEX_CORE_ONLY=ON \
  -DQUORVEX_SANITIZE=ON -DQUORVEX_WERROR=ON
cmake --build build-asan
(cd build-asan && ctest --output-on-failure -j "$jobs")

echo "== Windows build and its tests under wine"
scripts/test-windows.sh

echo "== flasher stub: cross-built image checks, and the committed blob is exactly this source"
firmware/stub/check-blob.sh build-stub

echo "== fuzz targets (clang, address and undefined-behaviour sanitizers)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DQUORVEX_CORE_ONLY=ON -DQUORVEX_SANITIZE=ON -DQUORVEX_FUZZ=ON
cmake --build build-fuzz
(cd build-fuzz && ctest --output-on-failure -L fuzz)

echo "== all tests passed"
