#!/usr/bin/env bash
# Installs the Debian packages that the build (with "package", the release packages; with
# "test", the tests as well) need, if any are missing. Usage: install-deps.sh run|package|test
set -euo pipefail
mode="${1:-run}"

# libasound2-plugins lets ALSA's "default" reach PulseAudio and PipeWire; alsa-utils gives
# run.sh its check for an output device; libsystemd-dev's sd-bus asks RTKit for real-time
# scheduling; MIDI input comes from ALSA's sequencer or, where that is missing, from JACK.
packages=(cmake g++ make pkg-config libasound2-dev libasound2-plugins alsa-utils libsystemd-dev
          libjack-jackd2-dev)
# Installed without their recommends: the cross compilers, the emulator and the libraries of
# the 64-bit ARM build (Debian multiarch, next to the machine's own), and the JACK server.
cross_packages=()
if [ "$mode" = package ] || [ "$mode" = test ]; then
  # The packages: Debian's package tools (dependencies are read from the binaries), the
  # ARM64 cross build with the target's ALSA, sd-bus, JACK and C++ runtime, and the Windows
  # build.
  packages+=(dpkg-dev gzip g++-mingw-w64-x86-64-posix)
  cross_packages+=(g++-aarch64-linux-gnu libasound2-dev:arm64 libsystemd-dev:arm64
                   libjack-jackd2-dev:arm64 libstdc++6:arm64)
fi
if [ "$mode" = test ]; then
  # GoogleTest for this machine, and its sources to build for the cross-compiled tests.
  packages+=(libgtest-dev libgmock-dev googletest libbenchmark-dev)
  # An independent WAV reader to check the renderer's files; clang and its libFuzzer for
  # the fuzz targets (scripts/fuzz.sh).
  packages+=(sox clang libclang-rt-14-dev)
  # The end-to-end tests, run by pytest: a headless sound server with a null sink and its
  # recorder, a terminal multiplexer, and kitty on a virtual X display driven by xdotool.
  # kitty draws with OpenGL, in software here (Mesa's llvmpipe), and needs a font.
  packages+=(pulseaudio pulseaudio-utils tmux xvfb xdotool kitty python3 python3-pytest procps
             libgl1 libglx-mesa0 libgl1-mesa-dri fonts-dejavu-core)
  # The soak: every core kept busy while the program plays (util-linux gives chrt).
  packages+=(stress-ng util-linux)
  # The latency figures through PipeWire as well: the server, its session manager and tools,
  # on a session bus of the test's own (its ALSA plugin is unpacked below). Without their
  # recommends, which would replace PulseAudio with PipeWire's own server for it.
  cross_packages+=(pipewire pipewire-bin wireplumber libspa-0.2-modules dbus-daemon)
  # MIDI end to end: a JACK server with no sound card, and a JACK MIDI client for Debian's
  # python3 to send notes from (without the server's recommends: a Qt control panel).
  cross_packages+=(jackd2 python3-jack-client)
  # The Windows tests run under Wine, whose X11 driver and console window want these
  # libraries and fonts.
  packages+=(wine wine64 libxcursor1 libxi6 libxrandr2 libxrender1 libxinerama1
             libxcomposite1 libxfixes3 libxxf86vm1 fonts-wine)
  # The package checks: lintian, man to find the installed manual pages, and systemd's
  # systemd-analyze for the package's user unit.
  packages+=(lintian man-db systemd)
  # The ARM64 tests run under qemu's user-mode emulator; the live program there reaches the
  # sound server through the ARM64 ALSA plugins; the benchmarks are built for ARM64 too.
  cross_packages+=(qemu-user libasound2-plugins:arm64 libbenchmark-dev:arm64)
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# PipeWire's ALSA plugin conflicts with the PulseAudio packages the other tests need, so the
# end-to-end tests load it from the build, unpacked from Debian's package.
unpack_pipewire_alsa() {
  local into=build/pipewire-alsa
  [ "$mode" = test ] && [ ! -d "$into" ] || return 0
  local scratch
  scratch=$(mktemp -d)
  (cd "$scratch" && apt-get download -qq pipewire-alsa 2>/dev/null) &&
    mkdir -p "$into" && dpkg-deb -x "$scratch"/pipewire-alsa_*.deb "$into" ||
    echo "Could not unpack pipewire-alsa: the PipeWire end-to-end tests will fail" >&2
  rm -rf "$scratch"
}
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
missing_cross=()
for p in "${cross_packages[@]}"; do installed "$p" || missing_cross+=("$p"); done
cd "$(dirname "$0")/.."
if [ ${#missing[@]} -eq 0 ] && [ ${#missing_cross[@]} -eq 0 ]; then
  unpack_pipewire_alsa
  exit 0
fi

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if [ ${#cross_packages[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  echo "Adding the arm64 architecture to dpkg (multiarch), for the ARM64 build"
  $sudo dpkg --add-architecture arm64
fi
echo "Installing: ${missing[*]} ${missing_cross[*]}"
$sudo apt-get update -qq
export DEBIAN_FRONTEND=noninteractive
[ ${#missing[@]} -eq 0 ] || $sudo apt-get install -y -qq "${missing[@]}"
[ ${#missing_cross[@]} -eq 0 ] ||
  $sudo apt-get install -y -qq --no-install-recommends "${missing_cross[@]}"
unpack_pipewire_alsa
