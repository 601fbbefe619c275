#!/usr/bin/env bash
# Installs what is missing, builds Sentrel in build/ and starts it in the
# current folder (its settings and log live in the working directory).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSENTREL_SANITIZE=OFF -DSENTREL_TESTS=OFF >/dev/null
cmake --build "$root/build" --target sentrel sentrel-get
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]; then
  echo "run: no display; starting without a window (QT_QPA_PLATFORM=offscreen)" >&2
  export QT_QPA_PLATFORM=offscreen
fi
exec "$root/build/sentrel" "$@"
