#!/usr/bin/env bash
# Writes PNG screenshots of the window program in English and Chinese, idle
# with the host's console text and during a download, to a folder (default
# build/screenshots). Runs under a virtual X display of its own
# (xvfb-run, xdotool and ImageMagick's import: Debian packages xvfb, xdotool,
# imagemagick), against the bundled host simulator, with settings of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/screenshots}")
mkdir -p "$out"
if [ -z "${LUMASET_SCREENSHOT_INNER:-}" ]; then
  exec env LUMASET_SCREENSHOT_INNER=1 xvfb-run -a -s "-screen 0 800x600x24" "$0" "$out"
fi

bin=build/bin
work=$(mktemp -d "${TMPDIR:-/tmp}/lumaset-shots.XXXXXX")
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
head -c 120000 /dev/urandom > "$work/demo.pgu"

shot() {  # shot NAME: the program's window (and a box over it) as PNG
  sleep "${2:-1}"
  import -window root -crop 580x560+110+20 +repage "$out/$1.png"
  echo "wrote $out/$1.png"
}

for lang in en cn; do
  run="$work/$lang"
  mkdir -p "$run/config" "$run/runtime"
  chmod 700 "$run/runtime"
  export LUMASET_REGISTRY="$run/Lumaset.reg" XDG_CONFIG_HOME="$run/config" XDG_RUNTIME_DIR="$run/runtime"
  export LUMASET_COM1="$run/host"
  [ "$lang" = cn ] && printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Quendar\\Orvessa\\Lumaset\\Settings]\r\n"Language"=dword:00000001\r\n' > "$LUMASET_REGISTRY"
  "$bin/lumaset-hostsim" --link "$run/host" --out "$run/received" --talk 1500 --pace >"$run/sim.log" &
  sim=$!
  for _ in $(seq 50); do [ -e "$run/host" ] && break; sleep 0.1; done
  "$bin/lumaset" &
  app=$!
  shot "lumaset-$lang-idle" 5
  # A second start hands a user program to the running window, which asks
  # whether to start it; Return takes the default answer (No).
  "$bin/lumaset" "$work/demo.pgu" 1 &
  shot "lumaset-$lang-question" 2
  xdotool key Return
  shot "lumaset-$lang-download" 4
  # The link settings dialog (Ctrl+K), then the baud search (F9) of a host
  # that answers at 9600 only.
  sleep 12
  # Without a window manager a click makes the window the active one, so
  # that its accelerators receive the keys.
  xdotool mousemove 400 400 click 1
  xdotool key ctrl+k
  shot "lumaset-$lang-link-settings" 1
  xdotool key Escape
  kill -TERM "$sim"; wait "$sim" || true
  "$bin/lumaset-hostsim" --link "$run/host" --out "$run/received" --rate 9600 >"$run/sim2.log" &
  sim=$!
  sleep 1
  xdotool mousemove 400 400 click 1
  xdotool key F9
  shot "lumaset-$lang-baud-search" 3
  xdotool key Escape
  kill -TERM "$app"; wait "$app" || true
  kill -TERM "$sim"; wait "$sim" || true
done
