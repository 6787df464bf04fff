#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, with AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs each for a bounded time, starting from the seeds in tests/fuzz/corpus. Fails on
# any finding: a crash, a sanitizer report, a failed check, a leak, a slow input or too much
# memory; the input that shows it is kept in build/fuzz/findings/.
# Usage: fuzz.sh [SECONDS_EACH]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh test

seconds=${1:-60}
jobs=$(nproc)
[ "$jobs" -gt 2 ] || jobs=2

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$jobs"

# target:max_len. The events parser needs lines past its 4096-byte limit.
for pair in events_file:8192 key_decoder:1024 midi_decoder:1024; do
  target=${pair%%:*}
  work=build/fuzz/corpus/$target  # grows from run to run; the seeds stay as they are
  findings=build/fuzz/findings/$target
  log=build/fuzz/$target.log
  mkdir -p "$work" "$findings"
  echo "Fuzzing $target for $seconds s"
  if ! build/fuzz/tests/fuzz/${target}_fuzz "$work" "tests/fuzz/corpus/$target" \
      -dict="tests/fuzz/$target.dict" -max_total_time="$seconds" -max_len="${pair#*:}" \
      -timeout=10 -rss_limit_mb=1024 -artifact_prefix="$findings/" -print_final_stats=1 \
      >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "FAIL: $target has a finding (input in $findings/, log in $log)" >&2
    exit 1
  fi
  # The last status line and the totals: executions, coverage, corpus.
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true
  grep -E 'stat::(number_of_executed_units|new_units_added|peak_rss_mb)' "$log" || true
done
echo "Fuzzing: no findings"
