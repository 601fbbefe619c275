#!/usr/bin/env bash
# Installs the Debian packages Sentrel needs, and only those that are
# missing, so a second run costs nothing.
#   scripts/setup.sh          what building and running the program needs
#                             (scripts/run.sh)
#   scripts/setup.sh --test   that and what the tests, the benches, the
#                             package and its checks need (scripts/test.sh,
#                             scripts/package.sh)
set -euo pipefail

# Building and running: the compiler and build tools, the libraries the
# programs link, the certificates HTTPS hosts are checked against.
RUN_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libgl-dev
  libc-ares-dev libssl-dev
  ca-certificates
  # the pass history: libsqlite3-0 to run, libsqlite3-dev to build;
  # qt6-charts-dev builds the history window (libqt6charts6 runs it); its
  # CMake files need libqt6opengl6-dev, which the package does not pull in
  libsqlite3-0 libsqlite3-dev qt6-charts-dev libqt6opengl6-dev
)

# Only for tests, benches and packaging: the test framework, the servers,
# proxies and peers the tests and benches run against, the display the
# window tests use, the validators, and the package's build and checks.
TEST_PACKAGES=(
  clang clang-format
  libgtest-dev
  nginx-light tinyproxy microsocks dante-server curl openssl time strace
  prometheus
  chromium chromium-driver python3-selenium  # the status page in a real browser
  xvfb xauth openbox xdotool
  x11-utils             # xwininfo: the window frame and the balloon's place on the test desktop
  trayer                # a tray host on the test desktop
  dbus-daemon           # dbus-run-session: a private session bus
  desktop-file-utils appstream man-db groff-base systemd
  dpkg-dev file lintian devscripts
)

case "${1:-}" in
  "") packages=("${RUN_PACKAGES[@]}") ;;
  --test) packages=("${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
  *)
    echo "usage: $0 [--test]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
