#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit tests; all of them again
# under AddressSanitizer and UndefinedBehaviorSanitizer, the threaded ones under
# ThreadSanitizer; the end-to-end run of the live program; the Windows build under Wine; the
# 64-bit ARM Linux build under qemu.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh test

jobs=$(nproc)
[ "$jobs" -gt 2 ] || jobs=2

cmake --preset release
cmake --build --preset release -j"$jobs"
ctest --preset release -j"$jobs"

cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
ctest --preset asan -j"$jobs"

# The tests that run threads (the engine's stream, the control loop, takes), under
# ThreadSanitizer.
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j"$jobs" --target engine_tests app_tests consynth
ctest --preset tsan -L threads -j"$jobs"

# The program as a user runs it; the ThreadSanitizer build of it is played as well.
tests/e2e/run.sh build/release/app/consynth build/tsan/app/consynth

./scripts/test-windows.sh
./scripts/test-arm64.sh
