#!/usr/bin/env bash
# Installs the Debian packages that building and testing Shelvio needs, then configures and builds.
# Usage: scripts/setup.sh [build-folder]   (default: build)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-"$here/build"}

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libxcb1-dev libxml2-dev zlib1g-dev libxxhash-dev libzip-dev libgtest-dev googletest
  libxml2-utils unzip zip p7zip-full libarchive-tools python3
  fonts-dejavu-core qt6-translations-l10n
  xvfb xauth openbox wmctrl x11-utils
  clang libclang-rt-14-dev clang-tidy clang-format
  desktop-file-utils appstream groff-base strace dpkg-dev file
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

# SHELVIO_WERROR=ON (as CI sets it) makes every warning of our own code an error.
cmake -S "$here" -B "$build" -G Ninja -DSHELVIO_WERROR="${SHELVIO_WERROR:-OFF}"
cmake --build "$build" -j "$(nproc)"
