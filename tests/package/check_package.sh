#!/usr/bin/env bash
# Checks a built Debian package of Lumaset; builds nothing.
#   tests/package/check_package.sh lumaset_VERSION_ARCH.deb
# lintian (errors fail, the rest is shown), desktop-file-validate on the
# packaged desktop entry, then it installs the package with apt-get (as root,
# or with sudo), runs the installed programs: lumaset-cli --version, a real
# download from lumaset-cli to lumaset-hostsim, the window (offscreen) in
# Chinese, each language library loaded from the package's folder, the
# operator's guide with its pictures; then it
# purges the package and checks that none of its files remain.
set -euo pipefail

deb=${1:-}
[ -f "$deb" ] || { echo "usage: $0 PACKAGE.deb" >&2; exit 2; }
deb=$(realpath "$deb")
repo=$(cd "$(dirname "$0")/../.." && pwd)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

work=$(mktemp -d "${TMPDIR:-/tmp}/lumaset-package-check.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }
# The file (symlinks and ".." resolved) from which the dynamic loader's log
# files $1.* show that library $2 was loaded ("" when it was not).
loaded_from() {
  local path
  path=$(sed -n "s|.*calling init: \(.*/$2\)\$|\1|p" "$1".* | head -n 1)
  [ -n "$path" ] && realpath "$path"
}
# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
  local tenths=$1
  shift
  for _ in $(seq "$tenths"); do "$@" && return 0; sleep 0.1; done
  return 1
}

# The package's checker, the desktop entry's validator, and the MIME
# database whose triggers take the package's types in.
"$repo/scripts/install-missing.sh" "checking the package" lintian desktop-file-utils shared-mime-info

step "lintian"
# Errors fail the check; warnings and the rest are listed.
status=0
lintian --fail-on error --display-info "$deb" >"$work/lintian.log" 2>&1 || status=$?
grep -v 'running with root privileges' "$work/lintian.log" || true
[ "$status" = 0 ] || fail "lintian reports errors"

step "desktop entry and MIME types in the package"
dpkg-deb -x "$deb" "$work/contents"
desktop-file-validate "$work/contents/usr/share/applications/lumaset.desktop" || fail "desktop-file-validate"
# The MIME types the entry claims are those the package declares.
for type in $(sed -n 's/^MimeType=//p' "$work/contents/usr/share/applications/lumaset.desktop" | tr ';' ' '); do
  grep -q "type=\"$type\"" "$work/contents/usr/share/mime/packages/lumaset.xml" || fail "$type is not declared"
done
mkdir -p "$work/mime/packages"
cp "$work/contents/usr/share/mime/packages/lumaset.xml" "$work/mime/packages/"
XDG_DATA_HOME="$work" update-mime-database "$work/mime" 2>"$work/mime.err" || fail "update-mime-database: $(cat "$work/mime.err")"
[ ! -s "$work/mime.err" ] || fail "update-mime-database: $(cat "$work/mime.err")"
grep -q 'application/x-lumaset-user-program:\*\.pgu' "$work/mime/globs" || fail "*.pgu is not a user program"

# The package's files (not its folders), for the check after removal.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' >"$work/files"
[ -s "$work/files" ] || fail "the package holds no files"

step "install"
if dpkg-query -W -f='${Status}' lumaset 2>/dev/null | grep -q "install ok installed"; then
  echo "lumaset is installed already; it is purged first"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq lumaset >/dev/null
fi
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get install"; }
while read -r f; do [ -e "$f" ] || fail "$f was not installed"; done <"$work/files"
libdir=$(dirname "$(grep '/lumaset/libTavloraEN.so$' "$work/files")")
desktop-file-validate /usr/share/applications/lumaset.desktop || fail "installed desktop entry"
# The triggers of shared-mime-info and desktop-file-utils have taken them in.
[ -f /usr/share/mime/application/x-lumaset-user-program.xml ] || fail "the MIME database lacks the user program"
grep -q 'application/x-lumaset-user-program=.*lumaset.desktop' /usr/share/applications/mimeinfo.cache ||
  fail "the desktop database does not name lumaset for user programs"

step "the operator's guide with its pictures"
guide=/usr/share/doc/lumaset/user-guide.md
[ -f "$guide" ] || fail "$guide was not installed"
for image in $(grep -o '](images/[^)]*)' "$guide" | sed 's/^](//; s/)$//'); do
  [ -f "/usr/share/doc/lumaset/$image" ] || fail "the guide's picture $image was not installed"
done

step "lumaset-cli --version"
version=$(/usr/bin/lumaset-cli --version)
echo "$version"
[[ "$version" == "lumaset-cli "* ]] || fail "unexpected version line"

step "download from the installed lumaset-cli to the installed lumaset-hostsim"
head -c 5000 /dev/urandom >"$work/job.pgu"
/usr/bin/lumaset-hostsim --link "$work/host" --out "$work/received" --log "$work/host.log" &
pids+=($!)
wait_for 100 test -e "$work/host" || fail "the simulator did not start"
# LD_DEBUG shows from which file the language library was loaded.
LD_DEBUG=files LD_DEBUG_OUTPUT="$work/cli.ld" timeout 120 \
  /usr/bin/lumaset-cli --device "$work/host" download-user "$work/job.pgu" --yes 2>"$work/cli.err" ||
  { cat "$work/cli.err"; fail "the download failed"; }
[ "$(loaded_from "$work/cli.ld" libTavloraEN.so)" = "$libdir/libTavloraEN.so" ] ||
  fail "lumaset-cli did not load $libdir/libTavloraEN.so"
grep -q 'not loaded' "$work/cli.err" && fail "lumaset-cli: $(cat "$work/cli.err")"
grep -q '"event":"download-done"' "$work/host.log" || fail "the simulator reports no download"
cmp "$work/job.pgu" "$work"/received/*-user.pgu || fail "the received program differs"

step "the window, offscreen, in Chinese"
mkdir -p "$work/config" "$work/runtime"
chmod 700 "$work/runtime"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Quendar\\Orvessa\\Lumaset\\Settings]\r\n"Language"=dword:00000001\r\n' \
  >"$work/Lumaset.reg"
window_env=(QT_QPA_PLATFORM=offscreen LUMASET_REGISTRY="$work/Lumaset.reg" XDG_CONFIG_HOME="$work/config"
            XDG_RUNTIME_DIR="$work/runtime" LUMASET_COM1="$work/host")
env "${window_env[@]}" LD_DEBUG=files LD_DEBUG_OUTPUT="$work/window.ld" /usr/bin/lumaset 2>"$work/window.err" &
window=$!
pids+=($window)
# Once the window holds the instance lock and serves its hand-off socket, a
# second start without a file ends with 0 when the window's event loop has
# answered it: the window is up.
wait_for 150 test -S "$work/runtime/KRV_MY_TAVLORA_CLASS_KRV" ||
  { cat "$work/window.err"; fail "the window did not start"; }
env "${window_env[@]}" timeout 30 /usr/bin/lumaset || { cat "$work/window.err"; fail "the window did not come up"; }
[ "$(loaded_from "$work/window.ld" libTavloraCN.so)" = "$libdir/libTavloraCN.so" ] ||
  fail "lumaset did not load $libdir/libTavloraCN.so"
# The program's own complaints start with its name (the offscreen platform
# adds notes of its own, such as that it cannot raise a window).
! grep '^lumaset:' "$work/window.err" || fail "the window complained"
kill -TERM "$window"
for _ in $(seq 100); do kill -0 "$window" 2>/dev/null || break; sleep 0.1; done
kill -0 "$window" 2>/dev/null && fail "the window did not close on SIGTERM"
wait "$window" || fail "the window ended with status $?"
grep -q '"Language"=dword:00000001' "$work/Lumaset.reg" || fail "the window did not keep the Chinese language"

step "remove"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq lumaset >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get purge"; }
dpkg-query -W -f='${Status}' lumaset 2>/dev/null | grep -q "installed" && fail "lumaset is still installed"
while read -r f; do [ ! -e "$f" ] || fail "$f remains"; done <"$work/files"
[ ! -e "$libdir" ] || fail "$libdir remains"
[ ! -e /usr/share/mime/application/x-lumaset-user-program.xml ] || fail "the MIME database still has the user program"
! grep -q 'lumaset.desktop' /usr/share/applications/mimeinfo.cache 2>/dev/null ||
  fail "the desktop database still names lumaset"
echo "package check passed: $deb"
