#!/usr/bin/env bash
# End-to-end tests of the live program, run as a user would: a headless sound server with a
# float32 null sink, its monitor recorded, the program in tmux and in kitty (on a virtual X
# display), keys sent from outside. Usage: run.sh path/to/consynth [path/to/tsan/consynth]
# With a second program, built with ThreadSanitizer, it is played too, and must report no race.
# The tests are pytest's (Debian's, with Debian's python3): PYTEST_ADDOPTS passes options,
# e.g. PYTEST_ADDOPTS="-s -k take" to see every check of the takes' tests as it is made.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
args=(--program "$(realpath "$1")")
[ $# -lt 2 ] || args+=(--tsan-program "$(realpath "$2")")
exec pytest-3 "$here" -v "${args[@]}"
