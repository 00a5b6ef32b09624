#!/usr/bin/env bash
# Installs what building and running needs, builds tamborix144 (preset "run": no tests,
# in build/run) and starts it; arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh run
cmake --preset run >/dev/null
cmake --build --preset run --target tamborix144
exec build/run/tamborix144 "$@"
