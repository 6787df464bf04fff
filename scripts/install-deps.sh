#!/usr/bin/env bash
# Installs the Debian packages that the build (and, with "test", the tests) need, if any
# are missing. Usage: install-deps.sh run|test
set -euo pipefail

packages=(cmake g++ make pkg-config libasound2-dev)
if [ "${1:-run}" = test ]; then
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev)
  # The Windows build: cross-compiler, GoogleTest sources to build for it, and Wine (with a
  # virtual display and key injection for the console program) to run it.
  packages+=(g++-mingw-w64-x86-64-posix googletest wine wine64 xvfb xdotool)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
