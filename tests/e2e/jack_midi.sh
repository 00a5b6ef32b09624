#!/usr/bin/env bash
# Real MIDI in and out through JACK: starts a private JACK server with the dummy driver, a
# MIDI monitor (jack_midi_dump, client "tbxdump") and a looping one-note sequencer
# (jack_midiseq, client "tbxseq"), then runs the MidiInJack tests of the test binary, which
# find those ports through the layer's device table, send a note to the monitor through
# midiOutShortMsg, receive the sequencer's notes through the midiIn callback, and open the
# built-in synth with its audio going to the server.
# Usage: jack_midi.sh BUILD_DIR [SOURCE_DIR]. Prints "skipped" and exits 77 (a skip for ctest) without jackd.
set -u

build=${1:?build folder}
if ! command -v jackd >/dev/null 2>&1 || ! command -v jack_midi_dump >/dev/null 2>&1 ||
   ! command -v jack_midiseq >/dev/null 2>&1; then
  echo "skipped: jackd and its example clients are not installed"
  exit 77
fi
tests=""
for t in "$build/tests/tbx_tests_144" "$build/tbx_tests_144"; do
  [ -x "$t" ] && tests=$t && break
done
if [ -z "$tests" ]; then
  echo "FAILED: tbx_tests_144 is not built in $build"
  exit 1
fi

work=$(mktemp -d)
export JACK_DEFAULT_SERVER="tbx-e2e-$$"   # private: never meets another server or test
export JACK_NO_START_SERVER=1
pids=()
cleanup() {
  # Clients first, then the server, all with SIGINT: the clients then close their JACK
  # connections, where after a SIGTERM the server waits seconds for them.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -INT "${pids[i]}" 2>/dev/null
    wait "${pids[i]}" 2>/dev/null
  done
  rm -f /dev/shm/jack_sem.*_"$JACK_DEFAULT_SERVER"_* 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy >"$work/jackd.log" 2>&1 &
pids+=($!)
if ! jack_wait -w -t 10 >/dev/null 2>&1; then
  echo "FAILED: the JACK server did not start"
  cat "$work/jackd.log"
  exit 1
fi

jack_midi_dump tbxdump >"$work/dump.txt" 2>&1 &
pids+=($!)
# A loop of 0.5 s at 48 kHz with note 60 held for its first 8000 samples.
jack_midiseq tbxseq 24000 0 60 8000 >"$work/seq.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
  ports=$(jack_lsp 2>/dev/null)
  if grep -qx "tbxdump:input" <<<"$ports" && grep -qx "tbxseq:out" <<<"$ports"; then break; fi
  sleep 0.1
done

TBX_JACK_E2E=1 TBX_JACK_SINK=tbxdump:input TBX_JACK_SOURCE=tbxseq:out TBX_JACK_DUMP="$work/dump.txt" \
  "$tests" --gtest_filter='MidiInJack*' >"$work/tests.log" 2>&1
rc=$?
cat "$work/tests.log"
if [ $rc -eq 0 ] && ! grep -q "PASSED.*3 tests" "$work/tests.log"; then
  echo "FAILED: the MidiInJack tests did not run"
  rc=1
fi
exit $rc
