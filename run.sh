#!/usr/bin/env bash
# Installs what is missing, builds, and runs the synthesizer.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh run

cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)"

# For now: render the chord offline.
out=chord.wav
printf '0 noteon 0 36\n0 noteon 1 52\n0 noteon 2 55\n0 noteon 3 59\n' > build/release/chord.events
build/release/tools/consynth-render --frames 88200 --events build/release/chord.events "$out"
echo "Rendered two seconds of the chord to $out"
