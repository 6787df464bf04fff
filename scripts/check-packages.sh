#!/usr/bin/env bash
# Checks what scripts/package.sh made in build/packages/: lintian on both Debian packages
# (no errors allowed), then the amd64 one installed on this machine with apt-get as a user
# would, its programs run from /usr/bin, its systemd user unit verified, and removed again. Needs root or sudo; uses
# consynth-golden-compare from the release build (test.sh builds it).
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
packages=build/packages
debs=("$packages"/consynth_*_amd64.deb "$packages"/consynth_*_arm64.deb)
for deb in "${debs[@]}"; do
  [ -f "$deb" ] || { echo "no $deb: run scripts/package.sh first" >&2; exit 1; }
done
compare=build/release/tests/support/consynth-golden-compare
[ -x "$compare" ] || cmake --build --preset release --target consynth-golden-compare

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for deb in "${debs[@]}"; do
  echo "== lintian $deb"
  lintian -I --fail-on error "$deb" || fail "lintian reports errors in $deb"
done

if dpkg-query -W -f='${Status}' consynth 2>/dev/null | grep -q "install ok installed"; then
  echo "consynth is installed on this machine already; remove it first" >&2
  exit 1
fi
scratch=$(mktemp -d)
remove() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -qq consynth >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap remove EXIT

deb="${debs[0]}"
version=$(dpkg-deb -f "$deb" Version)
echo "== apt-get install ./$deb"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "./$deb" >/dev/null

[ "$(command -v consynth)" = /usr/bin/consynth ] || fail "consynth is not /usr/bin/consynth"
[ "$(consynth-render --version)" = "consynth-render $version" ] ||
  fail "consynth-render --version does not say $version: $(consynth-render --version)"

# The installed renderer reproduces a reference render, bit for bit.
events=tests/golden/chord.events
frames=$(sed -n 's/^# frames: \([0-9]*\).*/\1/p' "$events" | head -1)
consynth-render --frames "$frames" --events "$events" "$scratch/chord.wav" ||
  fail "consynth-render exited $?"
"$compare" tests/golden/chord.wav "$scratch/chord.wav" || fail "the installed render differs"

# The installed synthesizer with no output device (ALSA's default is a sound server that is
# not there) and stdin from /dev/null: the help text, nothing else, exit 0 at end of input.
mkdir -p "$scratch/home" "$scratch/run"
printf 'pcm.!default { type pulse }\nctl.!default { type pulse }\n' >"$scratch/home/.asoundrc"
status=0
HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/run" PULSE_SERVER="unix:$scratch/none" \
  timeout 10 consynth </dev/null >"$scratch/out" 2>"$scratch/err" || status=$?
[ $status -eq 0 ] || fail "consynth without a device exited $status"
[ ! -s "$scratch/err" ] || fail "consynth without a device wrote to stderr: $(head -c 300 "$scratch/err")"
printf 'Tone : A/S/D/F Key\nPitch: Left/Right Key\nLPF  : Up\nType : Down\nF5   : NO Reverb\n' |
  cmp -s - "$scratch/out" || fail "consynth without a device printed more than its help"

for page in consynth consynth-render; do
  man -w "$page" | grep -qx "/usr/share/man/man1/$page.1.gz" || fail "man -w $page"
done
# The synth box's user unit: there, sound as systemd sees it, and off until a user enables it.
unit=/usr/lib/systemd/user/consynth.service
if [ -f "$unit" ]; then
  mkdir -p "$scratch/unit-run" && chmod 700 "$scratch/unit-run"
  # It warns of what it ignores (a misspelt key, a bad value) and passes all the same.
  XDG_RUNTIME_DIR="$scratch/unit-run" systemd-analyze --user verify "$unit" >"$scratch/verify" 2>&1 &&
    [ ! -s "$scratch/verify" ] || fail "systemd-analyze verify $unit: $(cat "$scratch/verify")"
  grep -qx 'ExecStart=/usr/bin/consynth --headless $CONSYNTH_OPTIONS' "$unit" ||
    fail "$unit does not run consynth --headless"
  grep -qx 'Restart=on-failure' "$unit" || fail "$unit is not restarted on failure"
  compgen -G "/etc/systemd/user/*.wants/consynth.service" >/dev/null &&
    fail "the package enabled $unit for every user"
else
  fail "no $unit"
fi
dpkg-deb -f "$deb" Recommends | grep -q 'libasound2-plugins | pipewire-alsa' ||
  fail "the package does not recommend the ALSA plugins for the sound servers"
[ -f /usr/share/doc/consynth/copyright ] || fail "no /usr/share/doc/consynth/copyright"
[ -f /usr/share/doc/consynth/changelog.gz ] || fail "no /usr/share/doc/consynth/changelog.gz"

echo "== apt-get purge consynth"
DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -qq consynth >/dev/null
[ ! -e /usr/bin/consynth ] && [ ! -e /usr/bin/consynth-render ] || fail "files left after removal"

if [ $failures -eq 0 ]; then echo "packages: all checks passed"; else exit 1; fi
