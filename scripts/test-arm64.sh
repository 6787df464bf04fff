#!/usr/bin/env bash
# Cross-compiles the 64-bit ARM Linux build and runs its tests under qemu's user-mode
# emulator: the unit tests and the reference renders (bit for bit), then the live program
# end to end against a headless PulseAudio server, through the ARM64 ALSA plugins. Called by
# test.sh; the packages come from scripts/install-deps.sh test.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="${JOBS:-$(nproc)}"
start=$(date +%s)

cmake --preset arm64
cmake --build --preset arm64 -j"$jobs"
ctest --preset arm64 -j"$jobs"

CONSYNTH_E2E_EMULATOR=qemu-aarch64 CONSYNTH_E2E_PRESSES=3 \
  tests/e2e/run.sh build/arm64/app/consynth
echo "ARM64 build and tests took $(($(date +%s) - start)) s"
