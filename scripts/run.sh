#!/usr/bin/env bash
# Installs what is missing, builds Sentrel in build/ and starts it in the
# current folder (its settings and log live in the working directory). On a
# machine without a display it runs the monitor without a window instead,
# so its status lines show in the terminal.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSENTREL_SANITIZE=OFF -DSENTREL_TESTS=OFF >/dev/null
cmake --build "$root/build"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]; then
  case " $* " in
    *" --headless "* | *" --check "* | *" --help "* | *" -h "* | *" --version "* | *" -V "*) ;;
    *)
      echo "run: no display, so the monitor runs without a window (sentrel --headless); Ctrl-C ends it" >&2
      exec "$root/build/sentrel" "$@" --headless
      ;;
  esac
fi
exec "$root/build/sentrel" "$@"
