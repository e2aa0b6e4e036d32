#!/usr/bin/env bash
# Builds the fuzz targets with clang into build-fuzz/ and runs each for a
# time or a number of runs, starting from its seed corpus (copied, so runs do
# not grow the repository's seeds). Fails on any finding.
# Usage: scripts/fuzz.sh [SECONDS|-runs=N] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
limit="-max_total_time=${1:-60}"
case "${1:-}" in -runs=*) limit="$1" ;; esac
[ $# -gt 0 ] && shift
# libFuzzer comes with clang's run-time libraries.
scripts/install-missing.sh "the fuzz targets" clang libclang-rt-14-dev
launcher=()
command -v ccache >/dev/null && [ -z "${CI:-}" ] && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DLUMASET_FUZZ=ON -DLUMASET_TOOLS=OFF "${launcher[@]}" >/dev/null
ninja -C build-fuzz -j"${JOBS:-2}" fuzz
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_command_string fuzz_reg_file fuzz_handoff fuzz_receive_render fuzz_hostsim)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
for t in "${targets[@]}"; do
  mkdir -p "$work/$t"
  cp tests/fuzz/corpus/"$t"/* "$work/$t/"
  echo "== $t"
  if (cd "$work" && ASAN_OPTIONS=detect_leaks=1 "$OLDPWD/build-fuzz/fuzz/$t" "$limit" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 "$work/$t" >"$work/$t.log" 2>&1); then
    grep -E "^#[0-9]+.*(DONE|pulse|NEW|REDUCE)" "$work/$t.log" | tail -1 || true
    grep -E "stat::number_of_executed_units|stat::average_exec_per_sec" "$work/$t.log" || true
  else
    failed=1
    echo "!! $t found a fault:"
    tail -40 "$work/$t.log"
    mkdir -p build-fuzz/findings && cp "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* build-fuzz/findings/ 2>/dev/null || true
  fi
done
exit $failed
