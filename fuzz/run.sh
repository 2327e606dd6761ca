#!/usr/bin/env bash
# Runs each fuzz target for a bounded time from the seed corpora that the test fixture writers
# make. A finding stops the run with a non-zero status and leaves the input under
# <build>/fuzz-findings/; keep it under tests/fuzz-regressions/<target>/ once fixed.
#     fuzz/run.sh <fuzz build folder> [seconds per target, default 60]
set -euo pipefail
build="$(realpath "$1")"
seconds="${2:-60}"
work="$build/fuzz-work"
rm -rf "$work/seeds"
mkdir -p "$work" "$build/fuzz-findings"
"$build/fuzz/write_fuzz_seeds" "$work/seeds"
for target in archive database journal names; do
  mkdir -p "$work/corpus/$target"
  echo "== fuzz_$target for ${seconds}s"
  status=0
  scratch="${TMPDIR:-}"
  # The journal target's opens flush what they change: in memory those flushes cost nothing,
  # and it gets through about three times as many inputs.
  if [ "$target" = journal ] && [ -z "$scratch" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then scratch=/dev/shm; fi
  TMPDIR="${scratch:-/tmp}" "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -close_fd_mask=3 -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-findings/$target-" "$work/corpus/$target" "$work/seeds/$target" \
    > "$work/$target.log" 2>&1 || status=$?
  grep -E '^(Done|stat::number_of_executed_units|==[0-9]+==|SUMMARY|artifact_prefix|Test unit written)' "$work/$target.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$work/$target.log" >&2
    echo "fuzz_$target found a fault (status $status); see $build/fuzz-findings/" >&2
    exit 1
  fi
done
