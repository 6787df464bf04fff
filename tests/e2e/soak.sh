#!/usr/bin/env bash
# Plays the live program for MINUTES with the chord pressed every 2 s while stress-ng keeps
# every core busy, its sound server running real-time, and counts the gaps in what it
# plays. With the default 512-frame buffers there must be none; then with 128-frame ones it
# records a take that must be what was heard, but for the silence of gaps the take marks,
# which a stall of the machine longer than their ring may leave. SOAK_PERIODS="64" soaks
# those instead.
# Usage: soak.sh MINUTES [path/to/consynth]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
minutes=${1:?usage: soak.sh MINUTES [path/to/consynth]}
program=$(realpath "${2:-$here/../../build/release/app/consynth}")
periods=()
for period in ${SOAK_PERIODS:-}; do periods+=(--soak-period "$period"); done
exec pytest-3 "$here" -v -m soak --soak "$minutes" "${periods[@]}" --program "$program"
