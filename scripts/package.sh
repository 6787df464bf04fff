#!/usr/bin/env bash
# Builds the release packages into build/packages/:
#   consynth_VERSION_amd64.deb, consynth_VERSION_arm64.deb   Debian and Ubuntu, PC and ARM64
#   consynth-VERSION-windows-x86_64.zip                      64-bit Windows
# Each from a build of the programs alone (no tests, no benchmarks) under build/package/.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh package

jobs="${JOBS:-$(nproc)}"
out="$PWD/build/packages"
rm -rf "$out"
mkdir -p "$out"
for preset in release arm64 windows; do
  dir="build/package/$preset"
  echo "== $preset: building the programs in $dir"
  cmake --preset "$preset" -B "$dir" -DCONSYNTH_BUILD_TESTS=OFF -DCONSYNTH_BUILD_BENCHMARKS=OFF \
    >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && cpack -B "$out")
done
rm -rf "$out/_CPack_Packages"
ls -l "$out"
