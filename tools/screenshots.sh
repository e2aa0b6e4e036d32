#!/usr/bin/env bash
# Makes the screenshots of the operator's guide from the real window program
# against the bundled host simulator, with settings of its own, and writes
# them as small palette PNGs, cropped to the window with its frame, to a
# folder (default docs/images):
#   lumaset-LANG-idle, -question, -download, -done, -failure, -confirm,
#   -link-settings, -baud-search, -hex    for LANG en and cn, under a virtual
#                                         X display with a window manager
#   lumaset-en-scale2                     the same window at QT_SCALE_FACTOR=2
#   lumaset-en-wayland                    the window on Wayland (a headless
#                                         compositor), natively
# Needs build/ built (scripts/setup.sh). The virtual display is
# $LUMASET_SHOT_DISPLAY (default :53), the compositor's socket
# lumaset-shots-wayland in a runtime folder of its own.
#   tools/screenshots.sh [FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs/images}")
mkdir -p "$out"
bin=$PWD/build/bin
for program in lumaset lumaset-hostsim; do
  [ -x "$bin/$program" ] || { echo "$0: $bin/$program is missing (scripts/setup.sh builds it)" >&2; exit 1; }
done

# A virtual X server and a window manager (so windows have frames, focus and
# stacking as on a desktop), key and window tools, ImageMagick's import,
# pngquant for palette images, and a headless Wayland compositor with Qt's
# Wayland platform.
scripts/install-missing.sh "the screenshots" \
  xvfb openbox xdotool x11-utils imagemagick pngquant weston qt6-wayland fonts-wqy-microhei

display=${LUMASET_SHOT_DISPLAY:-:53}
work=$(mktemp -d "${TMPDIR:-/tmp}/lumaset-shots.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

[ ! -e "/tmp/.X11-unix/X${display#:}" ] || { echo "$0: display $display is in use" >&2; exit 1; }
Xvfb "$display" -screen 0 1600x1200x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
openbox >"$work/openbox.log" 2>&1 &
pids+=($!)
sleep 1

head -c 120000 /dev/urandom >"$work/demo.pgu"
head -c 20000 /dev/urandom >"$work/short.pgu"

# The settings of one run; LANG 1 is Chinese.
settings() {
  local run=$1 language=$2
  mkdir -p "$run/config" "$run/runtime"
  chmod 700 "$run/runtime"
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Quendar\\Orvessa\\Lumaset\\Settings]\r\n"Language"=dword:%08x\r\n' \
    "$language" >"$run/Lumaset.reg"
  export LUMASET_REGISTRY="$run/Lumaset.reg" XDG_CONFIG_HOME="$run/config" XDG_RUNTIME_DIR="$run/runtime"
  export LUMASET_COM1="$run/host"
}

sim=""
simulator() {  # simulator ARGS...: (re)starts the simulator on $LUMASET_COM1
  if [ -n "$sim" ]; then kill -TERM "$sim"; wait "$sim" || true; fi
  "$bin/lumaset-hostsim" --link "$LUMASET_COM1" --out "$run/received" --log "$run/sim.log" "$@" &
  sim=$!
  pids+=("$sim")
  for _ in $(seq 50); do [ -e "$LUMASET_COM1" ] && break; sleep 0.1; done
}

wid=""
window() {  # starts the window program and waits for its main window
  "$bin/lumaset" >>"$run/window.log" 2>&1 &
  app=$!
  pids+=("$app")
  wid=$(xdotool search --sync --onlyvisible --pid "$app" | head -n 1)
}

# The main window with its frame as X, Y, W, H on the screen; a box over it
# lies inside.
frame() {
  local info x y w h l r t b
  info=$(xwininfo -id "$wid")
  x=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")
  y=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$info")
  w=$(sed -n 's/.*Width: *//p' <<<"$info")
  h=$(sed -n 's/.*Height: *//p' <<<"$info")
  read -r l r t b < <(xprop -id "$wid" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
  echo "$((w + l + r))x$((h + t + b))+$((x - l))+$((y - t))"
}

shot() {  # shot NAME [SECONDS]: waits, then the window (and what is over it)
  sleep "${2:-1}"
  import -window root -crop "$(frame)" +repage "$work/shot.png"
  pngquant --force --strip --quality=70-95 --output "$out/$1.png" "$work/shot.png"
  echo "wrote $out/$1.png ($(stat -c %s "$out/$1.png") bytes)"
}

key() { xdotool windowactivate --sync "$wid" key --clearmodifiers "$@"; }

# Waits up to $1 seconds for the simulator to log event $2.
wait_event() {
  for _ in $(seq $(($1 * 10))); do grep -q "\"event\":\"$2\"" "$run/sim.log" 2>/dev/null && return 0; sleep 0.1; done
  echo "$0: the simulator logged no $2" >&2
  return 1
}

for lang in en cn; do
  run="$work/$lang"
  settings "$run" "$([ "$lang" = cn ] && echo 1 || echo 0)"
  # The host prints a status line every 1.5 s, every third in Chinese.
  simulator --talk 1500 --pace
  window
  shot "lumaset-$lang-idle" 5

  # A second start hands a user program to the running window, which asks
  # whether the host should start it; Return takes the default answer (No).
  "$bin/lumaset" "$work/demo.pgu" 1 >>"$run/window.log" 2>&1 &
  shot "lumaset-$lang-question" 2
  key Return
  shot "lumaset-$lang-download" 4
  wait_event 60 download-done
  shot "lumaset-$lang-done" 2

  key ctrl+h
  shot "lumaset-$lang-hex" 4
  key ctrl+h
  # Restart the host (F6) asks first.
  key F6
  shot "lumaset-$lang-confirm" 1
  key Escape
  key ctrl+k
  shot "lumaset-$lang-link-settings" 1
  key Escape

  # A host that never sends the closing acknowledgement: the window
  # connects again by itself once the simulator's port is back.
  simulator --fault no-final-ack
  sleep 3
  "$bin/lumaset" "$work/short.pgu" 0 >>"$run/window.log" 2>&1 &
  sleep 2
  key Return
  shot "lumaset-$lang-failure" 12
  key Return

  # A host that answers at 9600 only, found by the baud search (F9).
  simulator --rate 9600 --talk 1500
  sleep 3
  key F9
  shot "lumaset-$lang-baud-search" 3
  key Escape
  sleep 1
  kill -TERM "$app"
  wait "$app" || true
done

# The command bar, icon and texts at twice the size.
run="$work/scale2"
settings "$run" 0
simulator --talk 1500
QT_SCALE_FACTOR=2 window
shot "lumaset-en-scale2" 5
kill -TERM "$app"
wait "$app" || true

# Natively on Wayland: a headless compositor that renders, the window on Qt's
# Wayland platform, and the compositor's own screenshot client (allowed by
# --debug), cropped to the window's place.
run="$work/wayland"
settings "$run" 0
simulator --talk 1500
# No panel, a plain background: the window is what is left when that is
# cut away.
printf '[core]\nidle-time=0\n[shell]\npanel-position=none\nbackground-color=0xff336699\n' >"$run/weston.ini"
weston --config="$run/weston.ini" --backend=headless-backend.so --use-pixman --width=1024 --height=768 --debug \
  --socket=lumaset-shots-wayland >"$run/weston.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "$XDG_RUNTIME_DIR/lumaset-shots-wayland" ] && break; sleep 0.1; done
WAYLAND_DISPLAY=lumaset-shots-wayland QT_QPA_PLATFORM=wayland "$bin/lumaset" >>"$run/window.log" 2>&1 &
app=$!
pids+=("$app")
sleep 6
(cd "$run" && WAYLAND_DISPLAY=lumaset-shots-wayland weston-screenshooter)
full=$(ls "$run"/wayland-screenshot-*.png | head -n 1)
# The window: what is not the background, found by trimming it away.
convert "$full" -fuzz 2% -trim +repage "$work/shot.png"
pngquant --force --strip --quality=70-95 --output "$out/lumaset-en-wayland.png" "$work/shot.png"
echo "wrote $out/lumaset-en-wayland.png"
grep -i 'wayland' "$run/window.log" || true
kill -TERM "$app"
wait "$app" || true
