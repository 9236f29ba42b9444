#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Vintrace and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

# The Windows build of the core and the device layer must not rot: cross-compile it and run
# the no-analyzer checks through the real Windows calls under Wine.
bash scripts/check-windows.sh build/windows

cmake --preset dev -DVINTRACE_WERROR=ON
cmake --build --preset dev
# The Debian package from a Release build: packaging.apt-install installs it with apt.
start=$SECONDS
bash scripts/build-deb.sh build/release
echo "Release package built in $((SECONDS - start)) s"
export QT_QPA_PLATFORM=offscreen
ctest --preset dev --timeout 300 -j 2
