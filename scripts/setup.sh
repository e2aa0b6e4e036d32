#!/usr/bin/env bash
# Installs what the build needs (Debian 12 packages) and builds into build/.
# Usage: scripts/setup.sh [--deps-only] [cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build pkg-config qt6-base-dev qt6-svg-dev qt6-translations-l10n libusb-1.0-0-dev
          umockdev libumockdev-dev libudev-dev libtelnet-dev
          ser2net python3-serial
          libgtest-dev libgmock-dev fonts-wqy-microhei
          dpkg-dev lintian desktop-file-utils shared-mime-info
          clang libclang-rt-14-dev)  # clang and its libFuzzer runtime: scripts/fuzz.sh
# libtelnet-dev: the telnet layer of device servers (RFC 2217); ser2net and
# python3-serial: the device servers the tests connect through.
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
[ "${1:-}" = "--deps-only" ] && exit 0

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
ninja -C build
