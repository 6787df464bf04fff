#!/usr/bin/env bash
# Cross-compiles the Windows build with mingw-w64 and runs its tests under Wine, in a
# private Wine prefix under build/. Called by test.sh; the packages come from
# scripts/install-deps.sh test.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="${JOBS:-$(nproc)}"
export WINEPREFIX="$PWD/build/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
mkdir -p "$WINEPREFIX"  # wineserver needs the directory; wineboot fills it
start=$(date +%s)

cmake --preset windows
cmake --build --preset windows -j"$jobs"

# A virtual X display of our own for the console window of the end-to-end tests. It is up
# before the Wine server starts, so Wine's desktop lives on it. Xvfb picks a free number.
stop_display() { [ -z "${xvfb_pid:-}" ] || kill "$xvfb_pid" 2>/dev/null || true; }
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" </dev/null \
  >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
[ -s "$display_file" ] || { echo "Xvfb did not start" >&2; stop_display; exit 1; }
export DISPLAY=":$(cat "$display_file")"
rm -f "$display_file"

# The Wine server and its services outlive the program that starts them and keep whatever
# standard streams they were given, so whoever reads those (ctest, a CI log) would wait for
# them forever. Start them here, detached from ours, and stop them however this script ends.
stop_wine() { wineserver -k >/dev/null 2>&1 || true; }
trap 'stop_wine; stop_display' EXIT
wine_start=$(date +%s)
wineserver -p </dev/null >/dev/null 2>&1 || { echo "wineserver did not start" >&2; exit 1; }
wineboot -i </dev/null >/dev/null 2>&1 || { echo "wineboot -i failed" >&2; exit 1; }
echo "Wine prefix ready in $(($(date +%s) - wine_start)) s"

ctest --preset windows -j"$jobs"

# consynth.exe as a user runs it, in a console window, with and without a sound server.
pytest-3 tests/e2e/windows -v --program build/windows/app/consynth.exe
echo "Windows build and tests took $(($(date +%s) - start)) s"
