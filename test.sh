#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the optimised build, the parsing
# and engine tests again under AddressSanitizer and UndefinedBehaviorSanitizer, then the
# Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh test
jobs=$(nproc)

cmake --preset release
cmake --build --preset release -j"$jobs"
ctest --preset release -j"$jobs"

cmake --preset asan
cmake --build --preset asan -j"$jobs"
ctest --preset asan -j"$jobs"

./scripts/test-windows.sh
