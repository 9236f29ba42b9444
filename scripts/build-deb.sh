#!/usr/bin/env bash
# Builds the Debian package from a Release build of only what it installs (no tests, no
# benchmarks), and prints where the package is. Warnings are the dev build's to catch.
# Usage: scripts/build-deb.sh [build-dir]   (default build/release; the package goes to
#        <build-dir>/package)
#        scripts/build-deb.sh --from build-dir   packages a Release tree already built (with
#        its tests, as the test command builds it) without building again
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
if [ "${1:-}" = "--from" ]; then
    out="${2:?--from needs a build directory}"
    # Only what installs goes into the package, so a tree with tests packages the same; but
    # it must be the hardened Release build users get, not a debug or test-only build.
    grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$out/CMakeCache.txt" ||
        { echo "$out: not a Release build" >&2; exit 1; }
    cmake --build "$out" -j "${JOBS:-2}"
else
    out="${1:-$here/build/release}"
    cmake -S "$here" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DVINTRACE_BUILD_TESTS=OFF -DVINTRACE_BUILD_BENCH=OFF >/dev/null
    # Everything the tree builds is installed: the programs, icons and manual pages.
    cmake --build "$out" -j "${JOBS:-2}"
fi
rm -rf "$out/package"
cpack -G DEB --config "$out/CPackConfig.cmake" -B "$out/package" >"$out/cpack.log" 2>&1 ||
    { cat "$out/cpack.log"; exit 1; }
# The staging copy of the installed tree is not needed once the package is made.
rm -rf "$out/package/_CPack_Packages"
ls "$out"/package/vintrace_*.deb
