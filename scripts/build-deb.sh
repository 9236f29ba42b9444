#!/usr/bin/env bash
# Builds the Debian package from a Release build of only what it installs (no tests, no
# benchmarks), and prints where the package is. Warnings are the dev build's to catch.
# Usage: scripts/build-deb.sh [build-dir]   (default build/release; the package goes to
#        <build-dir>/package)
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$here/build/release}"
jobs="${JOBS:-2}"

cmake -S "$here" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVINTRACE_BUILD_TESTS=OFF -DVINTRACE_BUILD_BENCH=OFF >/dev/null
# Everything the tree builds is installed: the programs, icons and manual pages.
cmake --build "$out" -j "$jobs"
rm -rf "$out/package"
cpack -G DEB --config "$out/CPackConfig.cmake" -B "$out/package" >"$out/cpack.log" 2>&1 ||
    { cat "$out/cpack.log"; exit 1; }
# The staging copy of the installed tree is not needed once the package is made.
rm -rf "$out/package/_CPack_Packages"
ls "$out"/package/vintrace_*.deb
