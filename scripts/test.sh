#!/usr/bin/env bash
# Builds everything (the Linux programs and tests, the Windows programs) and runs every
# test: unit and integration tests for all four step counts, the end-to-end checks of the
# real programs under Xvfb and Wine, and the sanitizer runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
JOBS=${JOBS:-$(nproc)}

cmake --preset linux >/dev/null
cmake --build --preset linux -j "$JOBS"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$JOBS"

ctest --preset linux -j "$JOBS"
