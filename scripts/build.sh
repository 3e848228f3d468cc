#!/usr/bin/env bash
# Configures and builds the program, its tools and tests into build/.
set -euo pipefail
cd "$(dirname "$0")/.."
extra=()
[ "${CI:-}" = "true" ] && extra+=(-DQUORVEX_WERROR=ON)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
cmake --build build
