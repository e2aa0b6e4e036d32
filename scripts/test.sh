#!/usr/bin/env bash
# Runs the test suite of a build folder (default build/), installing the
# packages only the tests need and building what is not built yet. On a
# fresh clone it first sets up and builds build/ (scripts/setup.sh).
# Usage: scripts/test.sh [build-folder] [ctest options...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
shift || true

# The test framework; umockdev emulates USB devices for the libusb tests;
# ser2net and pyserial are the serial device servers the tests talk to.
scripts/install-missing.sh "the tests" \
  libgtest-dev libgmock-dev umockdev libumockdev-dev ser2net python3-serial

if [ "$dir" = build ]; then
  scripts/setup.sh
elif [ -f "$dir/CMakeCache.txt" ]; then
  # Configured again so that test packages installed since are found.
  cmake -S . -B "$dir" >/dev/null
  ninja -C "$dir"
else
  echo "$0: $dir is not a configured build folder" >&2
  exit 2
fi
ctest --test-dir "$dir" --output-on-failure --timeout 600 -j2 "$@"
