#!/usr/bin/env bash
# Playing in time through JACK: starts a private JACK server with the dummy driver, a MIDI
# monitor with frame times (jack_midi_dump -a, client "tbxframes") and builds the helper
# tests/e2e/jack_sync_helper.c (a clock source, a transport remote, a transport reader that
# can be timebase master), then runs the PlaybackJackSync tests of the test binary: the clock
# the program sends, read from its own output port with frame times; a clock sent into its
# input port starting, driving (each step on its clock's frame) and stopping a run; the
# transport started and stopped both ways; the program as timebase master on its own grid;
# a run following another master's transport.
# Usage: jack_sync.sh BUILD_DIR [SOURCE_DIR]. Prints "skipped" and exits 77 (a skip for
# ctest) without jackd or a C compiler. TBX_JACK_SERVER names the server (default
# tbx-sync-PID); TBX_SYNC_SECONDS sets how long each run is measured (default 3).
set -u
. "$(dirname "$0")/jack_lib.sh"

build=${1:?build folder}
src=${2:-$(dirname "$0")/../..}
jack_init "$build" tbx-sync cc

if ! cc -O1 -o "$work/jack_sync_helper" "$src/tests/e2e/jack_sync_helper.c" -ljack -lm 2>"$work/cc.log"; then
  echo "skipped: the helper cannot be built (libjack headers?)"
  cat "$work/cc.log"
  exit 77
fi

jack_start_server "$work/jackd.log" || exit 1
pids+=("$JACK_PID")

jack_midi_dump -a tbxframes >"$work/frames.txt" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
  jack_lsp 2>/dev/null | grep -qx "tbxframes:input" && break
  sleep 0.1
done

TBX_JACK_E2E=1 TBX_JACK_FRAMES="$work/frames.txt" TBX_JACK_SYNC_HELPER="$work/jack_sync_helper" \
  "$tests" --gtest_filter='PlaybackJackSync*' >"$work/tests.log" 2>&1
rc=$?
cat "$work/tests.log"
if [ $rc -eq 0 ] && ! grep -q "PASSED.*5 tests" "$work/tests.log"; then
  echo "FAILED: the PlaybackJackSync tests did not run"
  rc=1
fi
exit $rc
