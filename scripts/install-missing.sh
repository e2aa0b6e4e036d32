#!/usr/bin/env bash
# Installs those of the named Debian packages that are not installed yet,
# first saying in one line which and what for (with sudo unless root).
# Every script that needs packages calls it with its own list.
#   scripts/install-missing.sh "WHAT FOR" PACKAGE...
set -euo pipefail
why=$1
shift
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0
echo "Installing for $why: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
# Recommended packages are left out: each list names what it needs.
"${sudo[@]}" apt-get update -q
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
