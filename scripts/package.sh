#!/usr/bin/env bash
# Builds the Debian package: a release build of its own in build-package/
# (prefix /usr, Debian's build flags) and the package made by CPack in
# build-package/package/. The last line printed is the package's path.
#   scripts/package.sh               the build folder build-package/
#   scripts/package.sh --reuse DIR   an existing build folder instead (CI: the
#                                    release build in build/); it is set to
#                                    the prefix /usr and only what the package
#                                    holds is built
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build-package
reuse=0
if [ "${1:-}" = "--reuse" ]; then
  [ -n "${2:-}" ] && [ -f "$2/CMakeCache.txt" ] || { echo "usage: $0 [--reuse BUILD_DIR]" >&2; exit 2; }
  dir=$2
  reuse=1
elif [ $# -gt 0 ]; then
  echo "usage: $0 [--reuse BUILD_DIR]" >&2
  exit 2
fi

scripts/setup.sh --deps-only
# dpkg-shlibdeps finds the package's dependencies and dpkg-buildflags gives
# Debian's compiler flags.
scripts/install-missing.sh "making the Debian package" dpkg-dev

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
if [ "$reuse" = 1 ]; then
  cmake -S . -B "$dir" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
else
  # The compiler and linker flags of Debian packages (hardening included);
  # CMake takes CPPFLAGS from nowhere, so they join CFLAGS and CXXFLAGS.
  # They apply when the folder is first configured.
  eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
  export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DLUMASET_TOOLS=ON "${launcher[@]}" >/dev/null
fi
ninja -C "$dir" package_contents

rm -rf "$dir/package"
(cd "$dir" && cpack -G DEB -B "$PWD/package" >/dev/null)
deb=$(ls "$dir"/package/lumaset_*.deb)
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'
echo "$deb"
