#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, test, run and benchmark the metronome.
# Does nothing when every package is already present. Runs as root, or through sudo otherwise.
set -euo pipefail

packages=(
    # build
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libsdl2-dev libpulse-dev libsndfile1-dev libsamplerate0-dev
    # tests and benchmarks
    libgtest-dev libgmock-dev libbenchmark-dev clang-format
    xvfb xauth xdotool x11-utils imagemagick
    weston qt6-wayland
    pulseaudio pulseaudio-utils
    pipewire pipewire-pulse wireplumber libpipewire-0.3-0 dbus
    fonts-dejavu-core
    python3-numpy
    # packaging: the Debian package, its checks and the icon sizes
    dpkg-dev file lintian desktop-file-utils appstream librsvg2-bin
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
