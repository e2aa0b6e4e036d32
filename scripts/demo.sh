#!/usr/bin/env bash
# The first run: installs what building and running need, builds only the
# three programs and the two language libraries into build/, and starts the
# bundled host simulator on a pseudo-terminal. With a display (DISPLAY or
# WAYLAND_DISPLAY set) it opens the window program against the simulator,
# with settings of its own so the operator's are not touched; without one it
# downloads the example user program with the command-line tool. Each stage
# says what it does; the build shows ninja's own progress.
#   scripts/demo.sh            window when there is a display, else the tool
#   scripts/demo.sh --cli      always the command-line download
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
stage() { echo "== [$1/5] $2 ($((SECONDS - start)) s)"; }

window=0
if [ "${1:-}" != "--cli" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then window=1; fi

stage 1 "packages"
scripts/setup.sh --deps-only
stage 2 "configure build/"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo --log-level=WARNING
stage 3 "build lumaset, lumaset-cli, lumaset-hostsim and the language libraries"
ninja -C build lumaset lumaset-cli lumaset-hostsim language_libraries

work=$(mktemp -d "${TMPDIR:-/tmp}/lumaset-demo.XXXXXX")
sim=""
cleanup() {
  [ -n "$sim" ] || return 0
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
}
trap cleanup EXIT

# --pace: the simulator reads at the wire speed of 115200 baud, so a download
# takes the time it would take on a real line. In the window it also talks:
# a status line every two seconds, now and then in Chinese.
stage 4 "host simulator"
talk=()
[ "$window" = 1 ] && talk=(--talk 2000)
build/bin/lumaset-hostsim --link "$work/host" --out "$work/received" --log "$work/host.log" --pace "${talk[@]}" &
sim=$!
for _ in $(seq 50); do [ -e "$work/host" ] && break; sleep 0.1; done
echo "Host simulator on $(readlink "$work/host") (linked as $work/host)"

if [ "$window" = 1 ]; then
  stage 5 "the window program"
  mkdir -p "$work/config" "$work/runtime"
  chmod 700 "$work/runtime"
  echo "Opening the window on COM1 = the simulator. Try: 'User prog.' with examples/demo.pgu,"
  echo "Host > Set the host's clock, Display > Hexadecimal display, Settings > the language."
  echo "Received programs go to $work/received. Close the window to end the demonstration."
  LUMASET_COM1="$work/host" LUMASET_REGISTRY="$work/Lumaset.reg" XDG_CONFIG_HOME="$work/config" \
    XDG_RUNTIME_DIR="$work/runtime" build/bin/lumaset
  echo
  echo "What the simulator received:"
  ls -l "$work/received" 2>/dev/null || echo "(nothing)"
  exit 0
fi

stage 5 "download examples/demo.pgu with lumaset-cli"
build/bin/lumaset-cli --device "$work/host" download-user examples/demo.pgu --yes
echo
echo "The simulator's confirmation:"
grep '"event":"download-done"' "$work/host.log"
cmp examples/demo.pgu "$work"/received/*-user.pgu && echo "Received file is identical to examples/demo.pgu."
echo "== done ($((SECONDS - start)) s)"
