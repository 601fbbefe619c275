#!/usr/bin/env bash
# Installs the Debian packages Sentrel needs to build, run and test, and only
# those that are missing, so a second run costs nothing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang clang-format
  qt6-base-dev libgl-dev
  libc-ares-dev libssl-dev
  libgtest-dev
  nginx-light tinyproxy microsocks dante-server curl openssl time
  prometheus
  xvfb xauth openbox xdotool
  trayer                # tests only: a tray host on the test desktop
  dbus-daemon           # tests only: dbus-run-session, a private session bus
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
