#!/usr/bin/env bash
# Builds the Debian package: a Release build in build/ (or the folder given),
# packaged by CPack with its dependencies taken from the libraries the
# programs link (dpkg-shlibdeps). Prints the package's path on the last line.
#   scripts/package.sh [BUILD_DIR [CMAKE_OPTION...]]   (e.g. -DSENTREL_GUI=OFF)
#   sudo apt-get install ./build/sentrel_*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build}")
shift $(($# > 0 ? 1 : 0))
"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSENTREL_SANITIZE=OFF -DSENTREL_TESTS=OFF "$@" >/dev/null
cmake --build "$build"
rm -f "$build"/sentrel_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/sentrel_*.deb
