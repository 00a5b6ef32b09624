#!/usr/bin/env bash
# Builds everything (the Linux programs and tests, the Windows programs) and runs every
# test: unit and integration tests for all four step counts, the end-to-end checks of the
# real programs under Xvfb and Wine, and the sanitizer runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test
JOBS=${JOBS:-$(nproc)}
START=$SECONDS
phase() { echo "test.sh: $1 done after $((SECONDS - START)) s"; }

cmake --preset linux >/dev/null
cmake --build --preset linux -j "$JOBS"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$JOBS"
phase "the Linux and Windows builds"

# The unit and thread suites first, then the end-to-end scripts (two at a time where they
# may run side by side: tests/CMakeLists.txt).
ctest --preset linux -j "$JOBS" -LE e2e
ctest --preset linux -j "$JOBS" -L e2e
phase "the Linux tests"

# Sanitizers: the unit and thread suites under AddressSanitizer + UndefinedBehaviorSanitizer
# (clang; the same compile makes the libFuzzer targets), then the suites of the timer
# thread, playback and MIDI input (label "threads") under ThreadSanitizer.
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$JOBS" --target tbx_tests tbx_fuzz
ctest --preset asan -j "$JOBS"
phase "AddressSanitizer"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$JOBS" --target tbx_tests
ctest --preset tsan -j "$JOBS" -L threads
phase "ThreadSanitizer"

# Fuzzing: every libFuzzer target for a bounded time (FUZZ_SECONDS each, default 10; longer
# campaigns: scripts/fuzz.sh).
scripts/fuzz.sh "${FUZZ_SECONDS:-10}"
phase "fuzzing"
