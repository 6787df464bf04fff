#!/usr/bin/env bash
# Installs what is missing, builds, and runs the synthesizer on the default audio output;
# arguments go to it (e.g. --meter, --record NAME).
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh run

# The programs alone, without tests or benchmarks, so the packages for running suffice.
build=build/run
[ -x "$build/app/consynth" ] ||
  echo "Building consynth in $build (the first time only: about 20 s on two cores) ..."
log=$(mktemp)
if ! { cmake --preset release -B "$build" -DCONSYNTH_BUILD_TESTS=OFF \
         -DCONSYNTH_BUILD_BENCHMARKS=OFF && cmake --build "$build" -j"$(nproc)"; } >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  echo "The build failed; its output is above." >&2
  exit 1
fi
rm -f "$log"

# The synthesizer says nothing when there is no output device (it just runs silently), so
# say it here, with the way to hear it anyway.
if ! aplay -q -D default -t raw -f FLOAT_LE -c 2 -r 44100 /dev/null 2>/dev/null; then
  events=$build/chord.events
  printf '0 noteon 0 36\n0 noteon 1 52\n0 noteon 2 55\n0 noteon 3 59\n' > "$events"
  cat <<MSG
No audio output device could be opened (ALSA "default"); consynth will run silently.
To hear the chord, render it to a file instead:
  $build/tools/consynth-render --frames 88200 --events $events chord.wav
(see $build/tools/consynth-render --help for the events file).
MSG
fi

# Its status lines scroll the key help away at 86 lines a second; --meter keeps it.
if [ $# -eq 0 ] && [ -t 1 ]; then
  echo "(./run.sh --meter keeps the key help on screen, with one status line beneath it)"
fi
exec "$build/app/consynth" "$@"
