#!/usr/bin/env bash
# Builds the Linux programs and starts tamborix144 (arguments go to the program).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target tamborix144
exec build/linux/tamborix144 "$@"
