#!/usr/bin/env bash
# Installs everything Halden needs to build, run and test on Debian 12.
# Run as root. Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  # toolchain
  g++ cmake make pkg-config git ca-certificates clang libclang-rt-14-dev
  # libraries
  libglib2.0-dev libgtk-3-dev libwebkit2gtk-4.1-dev libayatana-appindicator3-dev
  libpulse-dev libpipewire-0.3-dev libsndfile1-dev libsoxr-dev libcurl4-openssl-dev libssl-dev
  nlohmann-json3-dev libcpp-httplib-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  pulseaudio pulseaudio-utils xvfb dbus-x11 xdotool imagemagick curl openssl
  pipewire pipewire-pulse wireplumber dbus-daemon
  # icons, install checks and the headless desktop of the demo and the tests
  librsvg2-bin desktop-file-utils appstream python3 python3-pyatspi python3-dbus python3-gi
  gir1.2-gtk-3.0 python3-xlib at-spi2-core espeak-ng
)

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps.sh: run as root (it calls apt-get)" >&2
  exit 1
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
    missing+=("$package")
done
if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
