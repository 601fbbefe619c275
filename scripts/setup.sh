#!/usr/bin/env bash
# Installs the Debian packages Sentrel needs to build, run and test, and only
# those that are missing, so a second run costs nothing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang clang-format
  qt6-base-dev libgl-dev
  libc-ares-dev libssl-dev
  # the pass history: libsqlite3-0 to run, libsqlite3-dev to build;
  # qt6-charts-dev builds the history window (libqt6charts6 runs it); its
  # CMake files need libqt6opengl6-dev, which the package does not pull in
  libsqlite3-0 libsqlite3-dev qt6-charts-dev libqt6opengl6-dev
  libgtest-dev
  nginx-light tinyproxy microsocks dante-server curl openssl time
  prometheus
  xvfb xauth openbox xdotool
  desktop-file-utils appstream man-db groff-base systemd dpkg-dev file
)

missing=()
for p in "${PACKAGES[@]}"; do
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
