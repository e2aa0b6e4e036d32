#!/usr/bin/env bash
# Sets up, builds, starts the bundled host simulator on a pseudo-terminal and
# downloads the example user program to it with the command-line tool.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/lumaset-demo.XXXXXX")
# --pace: the simulator reads at the wire speed of 115200 baud, so the
# download takes the time it would take on a real line.
build/bin/lumaset-hostsim --link "$work/host" --out "$work/received" --log "$work/host.log" --pace &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$work/host" ] && break; sleep 0.1; done

echo "Host simulator on $(readlink "$work/host") (linked as $work/host)"
build/bin/lumaset-cli --device "$work/host" download-user examples/demo.pgu --yes
echo
echo "The simulator's confirmation:"
grep '"event":"download-done"' "$work/host.log"
cmp examples/demo.pgu "$work"/received/*-user.pgu && echo "Received file is identical to examples/demo.pgu."
