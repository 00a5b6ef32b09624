#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "asan": clang with ASan and UBSan) and runs each one
# for a bounded time over its committed seed corpus, JOBS targets at a time (default: the
# number of cores).
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]    # default 60 s each; targets: project playlist midiin export import
#
# New inputs go to build/fuzz/corpus/<target>/ (kept between runs, so a longer campaign
# resumes where the last one stopped); the committed seeds in tests/fuzz/corpus/ are only
# read. A crash or a broken rule stops that target, leaves the input in
# build/fuzz/artifacts/<target>/ and makes the script fail. FUZZ_NICE=1 runs at the lowest
# priority; FUZZ_RUNS=N stops each target after N executions instead of after SECONDS.
# Leak checking is off while fuzzing (buffers kept between inputs would trigger a scan of
# the heap after most inputs); the sanitizer run of the test suite checks for leaks.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-60}
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(project playlist midiin export import)
JOBS=${JOBS:-$(nproc)}

cmake --preset asan >/dev/null
cmake --build --preset asan -j "$JOBS" --target "${TARGETS[@]/#/fuzz_}"

NICE=()
[ "${FUZZ_NICE:-0}" = 1 ] && NICE=(nice -n 19)
LIMIT=(-max_total_time="$SECONDS_EACH")
[ -n "${FUZZ_RUNS:-}" ] && LIMIT=(-runs="$FUZZ_RUNS")
# One target: its run, then its verdict (a failure shows the end of its log).
fuzz_one() {
  local t=$1 work artifacts
  # Absolute paths: the export target's file dialogs change the current folder.
  work=$PWD/build/fuzz/corpus/$t
  artifacts=$PWD/build/fuzz/artifacts/$t
  mkdir -p "$work" "$artifacts"
  if ! "${NICE[@]}" build/asan/tests/fuzz/fuzz_"$t" "$work" "$PWD/tests/fuzz/corpus/$t" "${LIMIT[@]}" \
      -max_len=8192 -timeout=20 -rss_limit_mb=2048 -detect_leaks=0 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" >"build/fuzz/$t.log" 2>&1; then
    echo "fuzz: $t FAILED; the last lines of build/fuzz/$t.log:"
    tail -n 30 "build/fuzz/$t.log"
    return 1
  fi
  grep -E '^stat::number_of_executed_units' "build/fuzz/$t.log" | sed "s/^/fuzz: $t /" || true
}

# JOBS targets at a time (each is one process on one core).
status=0
pids=()
for t in "${TARGETS[@]}"; do
  echo "fuzz: $t (${FUZZ_RUNS:-$SECONDS_EACH s})"
  fuzz_one "$t" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$JOBS" ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done
exit $status
