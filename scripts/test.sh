#!/usr/bin/env bash
# Builds everything (the Linux programs and tests, the Windows programs) and runs every
# test: unit and integration tests for all four step counts, the end-to-end checks of the
# real programs under Xvfb and Wine, and the sanitizer runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test
JOBS=${JOBS:-$(nproc)}

cmake --preset linux >/dev/null
cmake --build --preset linux -j "$JOBS"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$JOBS"

ctest --preset linux -j "$JOBS"

# Sanitizers, for the 144-step program only (the code is the same for every step count):
# the whole suite under AddressSanitizer + UndefinedBehaviorSanitizer, then the suites of
# the timer thread, playback and MIDI input (label "threads") under ThreadSanitizer.
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$JOBS" --target tbx_tests_144
ctest --preset asan -j "$JOBS" -R '^144/'
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$JOBS" --target tbx_tests_144
ctest --preset tsan -j "$JOBS" -L threads -R '^144/'

# Fuzzing: every libFuzzer target for a bounded time (FUZZ_SECONDS each, default 60).
scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
