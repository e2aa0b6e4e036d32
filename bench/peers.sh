#!/usr/bin/env bash
# Measures the receive display side by side with the serial terminals
# operators use: Lumaset, CuteCom and GtkTerm, one after the other under one
# virtual X server, each on a pseudo-terminal of its own that the host
# simulator streams timed records into at 115200 baud (11,520 bytes a
# second), in text and in hexadecimal display. For each it prints the busy
# share of the whole process (CPU time of all its threads over the elapsed
# time), its resident memory at the start and at the end of the measurement,
# the share of the line rate the stream kept (below 100 % the program fell
# behind and the simulator waited for it), and the ratio of each to Lumaset.
#
#   bench/peers.sh [--build DIR] [--seconds N] [--reverse]
#
#   --build DIR    the build tree with bin/lumaset and bin/lumaset-hostsim
#                  (default: build)
#   --seconds N    measured seconds for each program and display (default 60)
#   --reverse      measure the programs in the opposite order
#
# It installs nothing. It needs Xvfb and xdotool (Debian packages xvfb and
# xdotool) and a C compiler; the peers are measured when installed:
#     sudo apt-get install cutecom gtkterm
# Without them it measures Lumaset alone and says so. Every program runs with
# a home, settings and runtime folder of its own in a temporary folder.
#
# As shipped, neither peer keeps a pseudo-terminal open: CuteCom closes it
# when the modem-line requests fail, GtkTerm when udev has no record of it.
# They run with bench/pty_peer_shim.c preloaded (built here into the
# temporary folder), which answers those requests as a serial port would;
# Lumaset runs without it.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=build
seconds=60
reverse=0
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --reverse) reverse=1; shift ;;
    -h|--help) sed -n '2,30p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "peers.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
bin=$(cd "$build/bin" 2>/dev/null && pwd) || { echo "peers.sh: no $build/bin (build first)" >&2; exit 2; }
for program in "$bin/lumaset" "$bin/lumaset-hostsim"; do
  [ -x "$program" ] || { echo "peers.sh: $program is not built" >&2; exit 2; }
done
for tool in Xvfb xdotool cc; do
  command -v "$tool" > /dev/null || {
    echo "peers.sh: $tool is missing (sudo apt-get install xvfb xdotool build-essential)" >&2
    exit 2
  }
done

programs=(lumaset)
missing=()
for peer in cutecom gtkterm; do
  if command -v "$peer" > /dev/null; then programs+=("$peer"); else missing+=("$peer"); fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Not installed: ${missing[*]} (sudo apt-get install ${missing[*]}); measuring without them."
fi
if [ $reverse = 1 ]; then
  reversed=()
  for ((i = ${#programs[@]} - 1; i >= 0; i--)); do reversed+=("${programs[i]}"); done
  programs=("${reversed[@]}")
fi

work=$(mktemp -d /tmp/lumaset-peers.XXXXXX)
started=()
cleanup() {
  for pid in "${started[@]}"; do kill "$pid" 2> /dev/null || true; done
  sleep 0.5
  for pid in "${started[@]}"; do kill -9 "$pid" 2> /dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

cc -O2 -shared -fPIC -o "$work/pty_peer_shim.so" "$here/pty_peer_shim.c" -ldl

# A display of its own: the server picks a free number and writes it.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3> "$work/display" 2> "$work/xvfb.log" &
started+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "peers.sh: Xvfb did not start (see $work/xvfb.log)" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"

hz=$(getconf CLK_TCK)
# CPU ticks (user + system) of a process, or of one of its threads.
ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "$1"; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
now() { date +%s.%N; }
# The last stream-progress of the simulator: "t bytes".
stream_at() { grep '"stream-progress"' "$1" | tail -n1 | sed 's/.*"bytes":\([0-9]*\).*"t":\([0-9]*\).*/\2 \1/'; }

# The window of a program, once it shows one.
window_of() {
  local pid=$1 w=""
  for _ in $(seq 100); do
    w=$(xdotool search --onlyvisible --pid "$pid" 2> /dev/null | head -n1 || true)
    [ -n "$w" ] && break
    sleep 0.1
  done
  echo "$w"
}

# measure PROGRAM MODE: prints "busy% rss0 rss1 line% [ui%]"
measure() {
  local name=$1 mode=$2 home="$work/$1-$2"
  mkdir -p "$home/.config" "$home/run"
  chmod 700 "$home/run"
  "$bin/lumaset-hostsim" --link "$home/host" --stream > "$home/sim.log" 2>&1 &
  local sim=$!
  started+=("$sim")
  for _ in $(seq 50); do grep -q '"ready"' "$home/sim.log" && break; sleep 0.1; done
  local pid
  case $name in
    lumaset)
      HOME=$home XDG_CONFIG_HOME=$home/.config XDG_RUNTIME_DIR=$home/run LUMASET_REGISTRY=$home/Lumaset.reg \
        LUMASET_COM1=$home/host "$bin/lumaset" > "$home/out.log" 2>&1 &
      pid=$! ;;
    cutecom)
      mkdir -p "$home/.config/CuteCom"
      printf '[sessions]\n1\\BaudRate=115200\n1\\DataBits=8\n1\\Device=%s\n1\\FlowControl=0\n1\\OpenMode=3\n1\\Parity=0\n1\\StopBits=1\n1\\autoReconnect=false\n1\\name=Default\n1\\showCtrlCharacters=false\n1\\showTimestamp=false\nsize=1\n' \
        "$home/host" > "$home/.config/CuteCom/CuteCom5.conf"
      HOME=$home XDG_CONFIG_HOME=$home/.config XDG_RUNTIME_DIR=$home/run LD_PRELOAD=$work/pty_peer_shim.so \
        cutecom > "$home/out.log" 2>&1 &
      pid=$! ;;
    gtkterm)
      {
        printf '[default]\nport\t= %s\nspeed\t= 115200\nbits\t= 8\nstopbits\t= 1\nparity\t= none\nflow\t= none\n' "$home/host"
        printf 'wait_delay\t= 0\nwait_char\t= -1\nrs485_rts_time_before_tx\t= 30\nrs485_rts_time_after_tx\t= 30\n'
        printf 'echo\t= False\ncrlfauto\t= False\ntimestamp\t= False\nfont\t= "Monospace 12"\nterm_block_cursor\t= True\n'
        printf 'term_rows\t= 80\nterm_columns\t= 25\nterm_scrollback\t= 10000\nterm_visual_bell\t= True\n'
        for c in red blue green; do printf 'term_foreground_%s\t= 0.660000\n' $c; done
        printf 'term_foreground_alpha\t= 1.000000\n'
        for c in red blue green; do printf 'term_background_%s\t= 0.000000\n' $c; done
        printf 'term_background_alpha\t= 1.000000\n'
      } > "$home/.config/.gtktermrc"
      HOME=$home XDG_CONFIG_HOME=$home/.config XDG_RUNTIME_DIR=$home/run LD_PRELOAD=$work/pty_peer_shim.so \
        gtkterm > "$home/out.log" 2>&1 &
      pid=$! ;;
  esac
  started+=("$pid")
  local window
  window=$(window_of "$pid")
  if [ -z "$window" ]; then
    echo "peers.sh: $name showed no window (see $home/out.log)" >&2
    echo "- - - - -"
    kill "$pid" "$sim" 2> /dev/null || true
    return
  fi
  sleep 1
  xdotool windowfocus --sync "$window" 2> /dev/null || true
  case $name/$mode in
    lumaset/hex) xdotool key ctrl+h ;;
    cutecom/*) xdotool key alt+o; sleep 0.5; [ "$mode" = hex ] && xdotool key alt+x ;;
    gtkterm/hex) xdotool key --delay 150 F10 Right Right Right Right Right Down Down Return ;;
  esac
  # The stream runs and the display has filled before the measurement.
  sleep 4
  local rss0 cpu0 ui0 t0 s0 rss1 cpu1 ui1 t1 s1
  rss0=$(rss_kib "$pid"); cpu0=$(ticks "/proc/$pid/stat"); ui0=$(ticks "/proc/$pid/task/$pid/stat")
  t0=$(now); s0=$(stream_at "$home/sim.log")
  sleep "$seconds"
  cpu1=$(ticks "/proc/$pid/stat"); ui1=$(ticks "/proc/$pid/task/$pid/stat"); t1=$(now)
  rss1=$(rss_kib "$pid"); s1=$(stream_at "$home/sim.log")
  kill "$pid" 2> /dev/null || true
  for _ in $(seq 50); do kill -0 "$pid" 2> /dev/null || break; sleep 0.1; done
  kill -9 "$pid" 2> /dev/null || true
  kill "$sim" 2> /dev/null || true
  wait "$pid" "$sim" 2> /dev/null || true
  awk -v c="$((cpu1 - cpu0))" -v u="$((ui1 - ui0))" -v hz="$hz" -v t0="$t0" -v t1="$t1" -v r0="$rss0" -v r1="$rss1" \
      -v s0="$s0" -v s1="$s1" 'BEGIN {
        split(s0, a, " "); split(s1, b, " ");
        line = (b[1] > a[1]) ? 100 * (b[2] - a[2]) / ((b[1] - a[1]) / 1000) / 11520 : 0;
        printf "%.2f %d %d %.0f %.2f\n", 100 * c / hz / (t1 - t0), r0, r1, line, 100 * u / hz / (t1 - t0) }'
}

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"
echo "Each program ${seconds} s per display at 115200 baud under Xvfb $DISPLAY; order: ${programs[*]}"
declare -A result
for mode in text hex; do
  for name in "${programs[@]}"; do
    echo "  measuring $name, $mode display ..." >&2
    result[$name/$mode]=$(measure "$name" "$mode")
  done
done

label() { case $1 in lumaset) echo Lumaset ;; cutecom) echo CuteCom ;; gtkterm) echo GtkTerm ;; esac; }
echo
echo "| display | program | busy | resident memory at start / end | line rate kept | busy ÷ Lumaset | memory at end ÷ Lumaset |"
echo "|---|---|---|---|---|---|---|"
for mode in text hex; do
  read -r lbusy _ lrss1 _ lui <<< "${result[lumaset/$mode]}"
  for name in lumaset cutecom gtkterm; do
    [ -n "${result[$name/$mode]:-}" ] || continue
    read -r busy rss0 rss1 line _ <<< "${result[$name/$mode]}"
    [ "$busy" = "-" ] && { echo "| $mode | $(label "$name") | no window | | | | |"; continue; }
    awk -v m="$mode" -v n="$(label "$name")" -v b="$busy" -v r0="$rss0" -v r1="$rss1" -v l="$line" \
        -v lb="$lbusy" -v lr="$lrss1" 'BEGIN {
          printf "| %s | %s | %.1f %% | %.1f / %.1f MB | %d %% | %.2f | %.2f |\n",
                 m, n, b, r0 / 1024, r1 / 1024, l, (lb > 0 ? b / lb : 0), (lr > 0 ? r1 / lr : 0) }'
  done
done
echo
for mode in text hex; do
  read -r lbusy _ _ _ lui <<< "${result[lumaset/$mode]}"
  awk -v m="$mode" -v b="$lbusy" -v u="$lui" 'BEGIN {
    printf "Lumaset, %s display: user-interface thread %.1f %%, the other threads %.1f %%\n", m, u, b - u }'
done
echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
