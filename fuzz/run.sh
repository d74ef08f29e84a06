#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (in build/fuzz) and runs each for a bounded time.
#
#   fuzz/run.sh [seconds per target] [target ...]     default: 60 seconds, every target
#
# Each target starts from its seed corpus fuzz/corpus/<target>/ (read, never written) plus the
# inputs it found in earlier runs on this machine (build/fuzz/work/<target>/). A crash, leak,
# sanitizer report, broken invariant, timeout or out-of-memory is a finding: the input is kept
# in build/fuzz/findings/<target>/, the script says which, and it exits non-zero. Once the
# fault is mended, copy the input into fuzz/corpus/<target>/ so that every later run (and the
# engine tests, which replay the corpus) keeps checking it.
#
# Extra libFuzzer options may be passed in FUZZ_OPTIONS, e.g. FUZZ_OPTIONS="-runs=1000000".
# The targets run FUZZ_PARALLEL at a time (default: one per processor).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true

build=build/fuzz
# Line tables are all the debug information a finding's stack trace needs.
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++-14}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only -DNDEBUG" >/dev/null
cmake --build "$build" -j "${FUZZ_JOBS:-2}" >/dev/null

if (($#)); then
  targets=("$@")
else
  targets=()
  for directory in fuzz/corpus/*/; do
    target=$(basename "$directory")
    [[ -x "$build/$target" ]] && targets+=("$target")
  done
fi

# One target's run; its verdict goes to $build/<target>.verdict, its status to .status.
fuzz_one() {
  local target=$1 work="$build/work/$1" findings="$build/findings/$1" log="$build/$1.log"
  mkdir -p "$work" "$findings"
  # A dictionary of the input's words, when the target has one (fuzz/<target>.dict).
  local dictionary=()
  [[ -f "fuzz/$target.dict" ]] && dictionary=(-dict="fuzz/$target.dict")
  # -timeout: one input may take at most 30 s (a stiff model under the sanitizers can take a
  # few seconds honestly; half a minute is a hang); -rss_limit_mb: the engine must stay small.
  # shellcheck disable=SC2086
  if ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1" UBSAN_OPTIONS="print_stacktrace=1" \
      "$build/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$findings/" "${dictionary[@]}" ${FUZZ_OPTIONS:-} "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    local runs took
    runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$' || echo '?')
    took=$(grep -Eo 'Done [0-9]+ runs in [0-9]+ second' "$log" | grep -Eo '[0-9]+ second' | grep -Eo '[0-9]+' || echo '?')
    echo "$target: no finding in $runs executions ($took s)" >"$build/$target.verdict"
    echo 0 >"$build/$target.status"
  else
    {
      echo "$target: FINDING (log $log, inputs in $findings/)"
      grep -E 'ERROR|SUMMARY|invariant|runtime error|Test unit written' "$log" | head -20 || true
    } >"$build/$target.verdict"
    echo 1 >"$build/$target.status"
  fi
}

# Each target is one process on one processor: FUZZ_PARALLEL of them (default one per
# processor) run side by side, so the phase takes the seconds of a few targets, not of all.
parallel=${FUZZ_PARALLEL:-$(nproc)}
echo "=== fuzz ${targets[*]}: ${seconds}s each, $parallel at a time ==="
running=0
for target in "${targets[@]}"; do
  rm -f "$build/$target.verdict" "$build/$target.status"
  if ((running >= parallel)); then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_one "$target" &
  running=$((running + 1))
done
wait

status=0
for target in "${targets[@]}"; do
  cat "$build/$target.verdict" 2>/dev/null || echo "$target: FINDING (no verdict; log $build/$target.log)"
  [[ "$(cat "$build/$target.status" 2>/dev/null)" == 0 ]] || status=1
done
exit $status
