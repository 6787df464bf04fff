#!/usr/bin/env bash
# Installs the Debian packages that the build (and, with "test", the tests) need, if any
# are missing. Usage: install-deps.sh run|test
set -euo pipefail

# libasound2-plugins lets ALSA's "default" reach PulseAudio and PipeWire; alsa-utils gives
# run.sh its check for an output device; libsystemd-dev's sd-bus asks RTKit for real-time
# scheduling.
packages=(cmake g++ make pkg-config libasound2-dev libasound2-plugins alsa-utils libsystemd-dev)
if [ "${1:-run}" = test ]; then
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev)
  # The end-to-end tests: a headless sound server with a null sink and its recorder, a
  # terminal multiplexer, and kitty on a virtual X display driven by xdotool. kitty draws
  # with OpenGL, in software here (Mesa's llvmpipe), and needs a font.
  packages+=(pulseaudio pulseaudio-utils tmux xvfb xdotool kitty python3 procps
             libgl1 libglx-mesa0 libgl1-mesa-dri fonts-dejavu-core)
  # The soak: every core kept busy while the program plays (util-linux gives chrt).
  packages+=(stress-ng util-linux)
  # The Windows build: cross-compiler, GoogleTest sources to build for it, and Wine, whose
  # X11 driver and console window want these libraries and fonts.
  packages+=(g++-mingw-w64-x86-64-posix googletest wine wine64
             libxcursor1 libxi6 libxrandr2 libxrender1 libxinerama1 libxcomposite1
             libxfixes3 libxxf86vm1 fonts-wine)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
