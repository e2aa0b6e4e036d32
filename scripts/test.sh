#!/usr/bin/env bash
# Runs the test suite of a build folder (default build/).
# Usage: scripts/test.sh [build-folder] [ctest options...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
shift || true
ctest --test-dir "$dir" --output-on-failure --timeout 600 -j2 "$@"
