#!/usr/bin/env bash
# Builds the Debian package: a Release build in build/ (or the folder given),
# packaged by CPack with its dependencies taken from the libraries the
# programs link (dpkg-shlibdeps), compiled with Debian's build flags and
# stripped. Prints the package's path on the last line.
#   scripts/package.sh [BUILD_DIR [CMAKE_OPTION...]]   (e.g. -DSENTREL_GUI=OFF)
#   sudo apt-get install ./build/sentrel_*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build}")
shift $(($# > 0 ? 1 : 0))
"$root/scripts/setup.sh" --test
# The compiler and linker flags a Debian package build uses, all hardening
# on (bookworm's dpkg leaves out immediate binding and -fcf-protection, so
# they are asked for and added); the build's own Release hardening is off,
# as these carry it.
eval "$(cd "$root" && DEB_BUILD_MAINT_OPTIONS=${DEB_BUILD_MAINT_OPTIONS:-hardening=+all} dpkg-buildflags --export=sh)"
[[ " $CXXFLAGS " == *" -fcf-protection"* ]] || CXXFLAGS+=" -fcf-protection"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSENTREL_SANITIZE=OFF -DSENTREL_TESTS=OFF \
    -DSENTREL_HARDENING=OFF -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" \
    -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" -DCMAKE_MODULE_LINKER_FLAGS="$LDFLAGS" \
    "$@" >/dev/null
cmake --build "$build"
rm -f "$build"/sentrel_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/sentrel_*.deb
