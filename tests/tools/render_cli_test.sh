#!/usr/bin/env bash
# Runs the offline renderer as a user would: good runs write a WAV file, bad input exits 2
# with a message naming the file and line, and leaves no output file behind.
set -u
renderer=("$@")  # the renderer, behind an emulator when cross-built
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
header=58  # RIFF, an 18-byte fmt chunk, fact, and the data chunk's header
posix=true
case "${renderer[-1]}" in *.exe) posix=false ;; esac

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
printf '0 up\n1 \033]0;owned\a\033[2J\0x\n' >"$dir/hostile.events"
{ printf '0 '; head -c 10000000 /dev/zero | tr '\0' w; } >"$dir/long.events"
mkdir "$dir/folder.events"

# Good runs. sox reads the header on its own and warns about anything unusual.
good="$dir/good.wav"
"${renderer[@]}" --frames 1000 --events "$dir/ok.events" "$good" || fail "good run exited $?"
[ "$(stat -c %s "$good")" -eq $((header + 8000)) ] || fail "good run: wrong file size"
soxi "$good" >"$dir/soxi" 2>&1 || fail "soxi cannot read the file: $(cat "$dir/soxi")"
grep -qi warn "$dir/soxi" && fail "soxi warns: $(cat "$dir/soxi")"
[ "$(soxi -s "$good")" = 1000 ] && [ "$(soxi -c "$good")" = 2 ] && [ "$(soxi -r "$good")" = 44100 ] ||
  fail "soxi reads the wrong format: $(cat "$dir/soxi")"
"${renderer[@]}" --frames 0 "$dir/idle.wav" && [ "$(stat -c %s "$dir/idle.wav")" -eq $header ] ||
  fail "zero frames: expected a header-only file"
"${renderer[@]}" --frames 500 "$dir/idle.wav" || fail "idle run exited $?"
[ "$(tail -c 4000 "$dir/idle.wav" | tr -d '\0' | wc -c)" -eq 0 ] || fail "idle run is not silent"
"${renderer[@]}" --help | grep -q 'usage: consynth-render' || fail "--help prints no usage"
"${renderer[@]}" --version | tr -d '\r' | grep -Eqx 'consynth-render [0-9]+\.[0-9]+\.[0-9]+' ||
  fail "--version prints no version"
"${renderer[@]}" --frames 1000 --events "$dir/ok.events" - >"$dir/stdout.wav" &&
  cmp -s "$good" "$dir/stdout.wav" || fail "'-' does not write the file to standard output"
# An events file that ends with 'end' needs no --frames; --frames still wins.
{ head -n 5 "$dir/ok.events"; echo '1000 end'; } >"$dir/ended.events"
"${renderer[@]}" --events "$dir/ended.events" "$dir/ended.wav" && cmp -s "$good" "$dir/ended.wav" ||
  fail "'1000 end' does not render the same 1000 frames as --frames 1000"
"${renderer[@]}" --frames 500 --events "$dir/ended.events" "$dir/short.wav" &&
  [ "$(stat -c %s "$dir/short.wav")" -eq $((header + 4000)) ] || fail "--frames does not win over 'end'"
# A 'start' keeps the sound from its frame on, as the render from frame 0 has it there; --frames
# then counts from the start.
{ head -n 3 "$dir/ok.events"; echo '250 start'; sed -n 4,5p "$dir/ok.events"; echo '1000 end'; } \
  >"$dir/started.events"
tail -c $((750 * 8)) "$good" >"$dir/good.tail"
"${renderer[@]}" --events "$dir/started.events" "$dir/started.wav" &&
  [ "$(stat -c %s "$dir/started.wav")" -eq $((header + 6000)) ] &&
  cmp -s <(tail -c +$((header + 1)) "$dir/started.wav") "$dir/good.tail" ||
  fail "'250 start' does not keep frames 250 to 1000 of the render"
"${renderer[@]}" --frames 100 --events "$dir/started.events" "$dir/started.wav" 2>"$dir/stderr"
status=$?
[ $status -eq 0 ] && [ "$(stat -c %s "$dir/started.wav")" -eq $((header + 800)) ] &&
  cmp -s <(tail -c +$((header + 1)) "$dir/started.wav") <(head -c 800 "$dir/good.tail") ||
  fail "--frames 100 after '250 start' does not keep frames 250 to 350 (exit status $status," \
    "$(stat -c %s "$dir/started.wav") bytes, stderr: $(head -c 300 "$dir/stderr"))"
if $posix; then
  # A render into a pipe that is read only a second later surely takes a while: it shows
  # its progress where standard error is a terminal, and only there.
  slow_render() {
    mkfifo "$dir/slow"
    (exec 3<"$dir/slow" && sleep 1 && cat <&3 >/dev/null) &
    "$@"
    wait
    rm "$dir/slow"
  }
  slow_render "${renderer[@]}" --frames 3000000 "$dir/slow" 2>"$dir/stderr"
  [ -s "$dir/stderr" ] && fail "progress written to a file: $(head -c 200 "$dir/stderr")"
  slow_render script -qec "${renderer[*]} --frames 3000000 $dir/slow" /dev/null >"$dir/stdout"
  grep -Eq '3000000 of 3000000 frames \(100%\), [0-9.]+x real time' "$dir/stdout" ||
    fail "no progress on a terminal: $(head -c 300 "$dir/stdout")"
fi

# Bad input.
expect_error "unknown word" "bad.events:4:" --frames 10 --events "$dir/bad.events" "$dir/out.wav"
expect_error "backwards" "backwards.events:2:" --frames 10 --events "$dir/backwards.events" "$dir/out.wav"
expect_error "missing events" "nowhere.events" --frames 10 --events "$dir/nowhere.events" "$dir/out.wav"
expect_error "events a directory" "folder.events: cannot read: Is a directory" \
  --frames 10 --events "$dir/folder.events" "$dir/out.wav"
expect_error "events named empty" "--events needs a file name" --frames 10 --events "" "$dir/out.wav"
expect_error "unwritable output" "out.wav" --frames 10 "$dir/no/such/dir/out.wav"
expect_error "frames not a number" "--frames" --frames ten "$dir/out.wav"
expect_error "frames negative" "--frames" --frames -5 "$dir/out.wav"
expect_error "frames empty" "--frames must be" --frames "" "$dir/out.wav"
expect_error "frames too large" "--frames" --frames 536870906 "$dir/out.wav"
expect_error "frames missing" "--frames" "$dir/out.wav"
expect_error "frames missing, no end" "--frames is required: .*ok.events has no 'end'" \
  --events "$dir/ok.events" "$dir/out.wav"
expect_error "frames twice" "--frames given more than once" --frames 10 --frames 20 "$dir/out.wav"
expect_error "no output" "output" --frames 10
expect_error "unknown option" "--loud" --loud --frames 10 "$dir/out.wav"
# Input reaches messages escaped and cut short, so it cannot drive the terminal.
expect_error "long line" "long.events:1: line longer than 4096 bytes" \
  --frames 10 --events "$dir/long.events" "$dir/out.wav"
[ "$(wc -c <"$dir/stderr")" -lt 1000 ] || fail "a long line makes a long message"
expect_error "control bytes" "hostile.events:2: unknown event '\\\\x1B]0;owned" \
  --frames 10 --events "$dir/hostile.events" "$dir/out.wav"
tr -d '\r' <"$dir/stderr" | LC_ALL=C grep -q '[^[:print:]]' && fail "control bytes reach the terminal"

# A failed run keeps an earlier good file as it was; a user's own files beside the output
# are left alone.
"${renderer[@]}" --frames 10 "$dir/keep.wav"
before=$(md5sum <"$dir/keep.wav")
echo mine >"$dir/keep.wav.partial"
"${renderer[@]}" --frames 10 --events "$dir/bad.events" "$dir/keep.wav" 2>/dev/null
[ "$(md5sum <"$dir/keep.wav")" = "$before" ] || fail "a failed run changed an existing file"
"${renderer[@]}" --frames 20 "$dir/keep.wav" || fail "rewriting a file exited $?"
[ "$(cat "$dir/keep.wav.partial")" = mine ] || fail "a user's keep.wav.partial was overwritten"
[ "$(ls "$dir" | grep -c '^keep\.wav')" -eq 2 ] || fail "temporary files left: $(ls "$dir")"

if $posix; then
  # Special files are written to, not replaced.
  mkfifo "$dir/fifo"
  timeout 20 cat "$dir/fifo" >"$dir/fifo.wav" &
  "${renderer[@]}" --frames 1000 --events "$dir/ok.events" "$dir/fifo" || fail "fifo: exited $?"
  wait
  [ -p "$dir/fifo" ] && cmp -s "$good" "$dir/fifo.wav" || fail "a FIFO was not written to"
  # A full disk, as the device that always is: a node of our own when root, so that a
  # renderer that replaced special files could not replace the system's.
  full=/dev/full
  [ "$(id -u)" -ne 0 ] || { mknod "$dir/full" c 1 7 2>/dev/null && full="$dir/full"; } || full=
  if [ -n "$full" ]; then
    "${renderer[@]}" --frames 10 "$full" 2>"$dir/stderr"
    grep -q "full: write failed: No space left on device" "$dir/stderr" ||
      fail "a full disk is not reported with its reason: $(cat "$dir/stderr")"
  fi
  script -qec "${renderer[*]} --frames 10 -" /dev/null >"$dir/stdout"
  grep -q "not written to a terminal" "$dir/stdout" || fail "audio was written to a terminal"

  # A symlink is written through to its target; a replaced file keeps its permissions, a
  # new one gets the usual ones.
  "${renderer[@]}" --frames 10 "$dir/target.wav"
  chmod 640 "$dir/target.wav"
  ln -s target.wav "$dir/link.wav"
  "${renderer[@]}" --frames 1000 "$dir/link.wav" || fail "symlink: exited $?"
  [ -L "$dir/link.wav" ] && [ "$(stat -c %s "$dir/target.wav")" -eq $((header + 8000)) ] ||
    fail "a symlink was replaced instead of written through"
  [ "$(stat -c %a "$dir/target.wav")" = 640 ] || fail "a replaced file lost its permissions"
  (umask 022 && "${renderer[@]}" --frames 10 "$dir/new.wav")
  [ "$(stat -c %a "$dir/new.wav")" = 644 ] || fail "a new file is $(stat -c %a "$dir/new.wav")"

  # A render stopped by a signal takes its temporary file with it.
  "${renderer[@]}" --frames 30000000 "$dir/stopped.wav" &
  pid=$!
  for _ in $(seq 500); do compgen -G "$dir/stopped.wav.*" >/dev/null && break; sleep 0.01; done
  if kill -TERM $pid 2>/dev/null; then
    wait $pid
    compgen -G "$dir/stopped.wav*" >/dev/null && fail "a stopped render left $(ls "$dir"/stopped*)"
  fi
fi

if [ $failures -eq 0 ]; then echo "render CLI: all checks passed"; else exit 1; fi
