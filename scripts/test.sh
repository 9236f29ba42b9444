#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Vintrace and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
# Each step says how far into the run it starts, so a slow CI run shows where the time went.
step() { echo "== $1 (at $SECONDS s)"; }

step "install"
bash scripts/install-deps.sh

# Every source formatted as .clang-format says, before anything is built.
step "format"
bash scripts/check-format.sh

# The Windows build of the core and the device layer must not rot: cross-compile it and run
# the no-analyzer checks through the real Windows calls under Wine.
step "windows"
bash scripts/check-windows.sh build/windows

step "dev build"
# The tests run on the hardened Release build the package is made from: one build of
# everything instead of a test build and a package build; warnings are errors here too.
# build/dev stays Release after this (`cmake --preset dev -DCMAKE_BUILD_TYPE=RelWithDebInfo`
# turns it back).
cmake --preset dev -DVINTRACE_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
    -DVINTRACE_PACKAGE_DIR="$PWD/build/dev/package"
cmake --build --preset dev
# The Debian package from that build: packaging.apt-install installs it with apt.
step "package"
bash scripts/build-deb.sh --from build/dev
# The fuzz targets must keep building with clang and its sanitizers; each replays its seeds
# and every input that ever made it fail.
step "fuzz build"
cmake --preset fuzz
cmake --build --preset fuzz
for pair in capture-decoder:capture transfers:capture pcap-reader:pcap descriptors:descriptors \
    devices:devices parallel-decoder:parallel; do
    build/fuzz/fuzz/vintrace-fuzz-"${pair%%:*}" -runs=0 fuzz/corpus/"${pair#*:}" \
        fuzz/regressions/"${pair#*:}" 2>&1 | tail -1
done
step "tests"
export QT_QPA_PLATFORM=offscreen
ctest --preset dev --timeout 300 -j 2

# Memory errors and undefined behaviour: the core test program's tests (the core's, the command
# line's and the emulator's) built with AddressSanitizer and UndefinedBehaviorSanitizer. The
# widget tests and the whole-output comparisons are left to the run above to keep CI short;
# `ctest --preset dev-asan` runs everything.
step "asan"
start=$SECONDS
# The parallel loader's large files are left to the dev and ThreadSanitizer runs.
# Line tables are all a sanitizer report needs; full debug information only slows the build.
# The instrumented program starts slowly, so its tests run as four gtest shards, not one
# process each.
cmake --preset dev-asan -B build/dev-asan-core -DVINTRACE_WERROR=ON -DVINTRACE_BUILD_GUI=OFF \
    -DCMAKE_CXX_FLAGS_DEBUG="-g1" -DVINTRACE_TEST_SHARDS=4
cmake --build build/dev-asan-core --target vintrace_tests
GTEST_FILTER='-ParallelLoader.*' ctest --test-dir build/dev-asan-core --output-on-failure -j 2 \
    -R '^vintrace_tests\.shard'
echo "AddressSanitizer suite in $((SECONDS - start)) s"
# Data races in the threaded parts (the download thread, the background load, the parallel
# decoder, the device shim's server) built with ThreadSanitizer: the dev-tsan test preset.
step "tsan"
start=$SECONDS
cmake --preset dev-tsan -DVINTRACE_WERROR=ON -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
cmake --build --preset dev-tsan
ctest --preset dev-tsan --timeout 300 -j 2
echo "ThreadSanitizer suite in $((SECONDS - start)) s"
step "done"
