#!/usr/bin/env bash
# End-to-end tests of the live program, run as a user would: a headless sound server with a
# float32 null sink, its monitor recorded, the program in tmux and in kitty (on a virtual X
# display), keys sent from outside. Usage: run.sh path/to/consynth
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exec python3 "$here/e2e.py" "$(realpath "$1")"
