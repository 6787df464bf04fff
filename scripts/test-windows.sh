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

# The Wine server and its services outlive the program that starts them and keep whatever
# standard streams they were given, so whoever reads those (ctest, a CI log) would wait for
# them forever. Start them here, detached from ours, and stop them however this script ends.
stop_wine() { wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
wine_start=$(date +%s)
wineserver -p </dev/null >/dev/null 2>&1 || { echo "wineserver did not start" >&2; exit 1; }
wineboot -i </dev/null >/dev/null 2>&1 || { echo "wineboot -i failed" >&2; exit 1; }
echo "Wine prefix ready in $(($(date +%s) - wine_start)) s"

ctest --preset windows -j"$jobs"
echo "Windows build and tests took $(($(date +%s) - start)) s"
