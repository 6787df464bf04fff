#!/usr/bin/env bash
# End-to-end tests of the live program, run as a user would: a headless sound server with a
# float32 null sink, its monitor recorded, the program in tmux and in kitty (on a virtual X
# display), keys sent from outside. Usage: run.sh path/to/consynth [path/to/tsan/consynth]
# With a second program, built with ThreadSanitizer, it is played too, and must report no race.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
args=("$(realpath "$1")")
[ $# -lt 2 ] || args+=("$(realpath "$2")")
exec python3 "$here/e2e.py" "${args[@]}"
