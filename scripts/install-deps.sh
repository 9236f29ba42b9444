#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing Vintrace needs.
# Safe to rerun: it only calls apt when something is missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ lld pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins
    libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
    xvfb xauth x11vnc x11-utils iproute2 fonts-dejavu-core fonts-liberation2 fontconfig
    clang libclang-rt-14-dev clang-format
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64
    libpcap-dev tshark
    hwdata
    help2man desktop-file-utils dpkg-dev file man-db lintian
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
echo "Installing: ${missing[*]}"
# tshark's package asks whether non-root users may capture; answer no without a prompt.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
