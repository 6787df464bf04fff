#!/usr/bin/env bash
# Runs the offline renderer as a user would: good runs write a WAV file, bad input exits 2
# with a message naming the file and line, and leaves no output file behind.
set -u
renderer=("$@")  # the renderer, behind an emulator when cross-built
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect_error DESCRIPTION PATTERN ARGS...: exit 2, PATTERN on stderr, no output left.
expect_error() {
  local what=$1 pattern=$2
  shift 2
  rm -f "$dir"/out.wav*
  "${renderer[@]}" "$@" >"$dir/stdout" 2>"$dir/stderr"
  local status=$?
  [ $status -eq 2 ] || fail "$what: exit status $status, expected 2"
  grep -q -- "$pattern" "$dir/stderr" || fail "$what: stderr lacks '$pattern': $(cat "$dir/stderr")"
  compgen -G "$dir/out.wav*" >/dev/null && fail "$what: left an output file behind"
}

printf '0 noteon 0 36\n100 up\n200 down\n300 f5 on\n400 f5 off\n999999 up\n' >"$dir/ok.events"
printf '0 noteon 0 36\n\n# comment\n7 dance\n' >"$dir/bad.events"
printf '5 up\n4 up\n' >"$dir/backwards.events"

# Good runs.
"${renderer[@]}" --frames 1000 --events "$dir/ok.events" "$dir/out.wav" || fail "good run exited $?"
[ "$(stat -c %s "$dir/out.wav")" -eq $((44 + 8000)) ] || fail "good run: wrong file size"
[ "$(head -c 4 "$dir/out.wav")" = RIFF ] || fail "good run: not a RIFF file"
"${renderer[@]}" --frames 0 "$dir/idle.wav" && [ "$(stat -c %s "$dir/idle.wav")" -eq 44 ] ||
  fail "zero frames: expected a header-only file"
"${renderer[@]}" --frames 500 "$dir/idle.wav" || fail "idle run exited $?"
[ "$(tail -c 4000 "$dir/idle.wav" | tr -d '\0' | wc -c)" -eq 0 ] || fail "idle run is not silent"
"${renderer[@]}" --help | grep -q 'usage: consynth-render' || fail "--help prints no usage"
"${renderer[@]}" --version | tr -d '\r' | grep -Eqx 'consynth-render [0-9]+\.[0-9]+\.[0-9]+' ||
  fail "--version prints no version"

# Bad input.
expect_error "unknown word" "bad.events:4" --frames 10 --events "$dir/bad.events" "$dir/out.wav"
expect_error "backwards" "backwards.events:2" --frames 10 --events "$dir/backwards.events" "$dir/out.wav"
expect_error "missing events" "nowhere.events" --frames 10 --events "$dir/nowhere.events" "$dir/out.wav"
expect_error "unwritable output" "out.wav" --frames 10 "$dir/no/such/dir/out.wav"
expect_error "frames not a number" "--frames" --frames ten "$dir/out.wav"
expect_error "frames negative" "--frames" --frames -5 "$dir/out.wav"
expect_error "frames too large" "--frames" --frames 536870908 "$dir/out.wav"
expect_error "frames missing" "--frames" "$dir/out.wav"
expect_error "no output" "output" --frames 10
expect_error "unknown option" "--loud" --loud --frames 10 "$dir/out.wav"

# A failed run keeps an earlier good file as it was.
"${renderer[@]}" --frames 10 "$dir/keep.wav"
before=$(md5sum <"$dir/keep.wav")
"${renderer[@]}" --frames 10 --events "$dir/bad.events" "$dir/keep.wav" 2>/dev/null
[ "$(md5sum <"$dir/keep.wav")" = "$before" ] || fail "a failed run changed an existing file"

if [ $failures -eq 0 ]; then echo "render CLI: all checks passed"; else exit 1; fi
