#!/usr/bin/env bash
# Installs what building and running need (Debian 12 packages) and builds
# everything into build/: the programs, the language libraries and, when
# their packages are there (scripts/test.sh installs them), the tests and
# benchmarks.
# Usage: scripts/setup.sh [--deps-only] [cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."

# QtSvg renders the button images during the build; the translations give
# Qt's own buttons in Chinese; the font keeps the Chinese interface from
# showing boxes; qt6-wayland lets the window run natively on Wayland;
# libtelnet talks to serial device servers.
scripts/install-missing.sh "building and running Lumaset" \
  build-essential cmake ninja-build pkg-config qt6-base-dev qt6-svg-dev qt6-translations-l10n qt6-wayland \
  libusb-1.0-0-dev libudev-dev libtelnet-dev fonts-wqy-microhei
[ "${1:-}" = "--deps-only" ] && exit 0

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
ninja -C build
