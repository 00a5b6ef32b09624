#!/usr/bin/env bash
# Real MIDI in and out through JACK: starts a private JACK server with the dummy driver, two
# MIDI monitors (jack_midi_dump: client "tbxdump", and "tbxframes" with absolute frame
# times) and a looping one-note sequencer (jack_midiseq, client "tbxseq"), then runs the
# MidiInJack tests of the test binary. They find those ports through the layer's device
# table, send notes to a monitor through midiOutShortMsg (placed on their frames), receive
# the sequencer's notes through the midiIn callback, play the built-in synth with its audio
# on the server, check that the program's own client "Tamborix" and everything patched
# to it outlive every run, and that a port of another client that goes away during a run
# is connected again when it comes back. Then a second server is killed under a running
# program and started again (MidiJackGone): nothing may hang or crash, and the own client,
# the synth's ports and the chosen connection are back within 2 s.
# Usage: jack_midi.sh BUILD_DIR [SOURCE_DIR]. Prints "skipped" and exits 77 (a skip for ctest)
# without jackd.
# TBX_JACK_SERVER names the server (default tbx-e2e-PID).
set -u
. "$(dirname "$0")/jack_lib.sh"

build=${1:?build folder}
jack_init "$build" tbx-e2e jack_midiseq

jack_start_server "$work/jackd.log" || exit 1
pids+=("$JACK_PID")

jack_midi_dump tbxdump >"$work/dump.txt" 2>&1 &
pids+=($!)
jack_midi_dump -a tbxframes >"$work/frames.txt" 2>&1 &
pids+=($!)
# A loop of 0.5 s at 48 kHz with note 60 held for its first 8000 samples.
jack_midiseq tbxseq 24000 0 60 8000 >"$work/seq.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
  ports=$(jack_lsp 2>/dev/null)
  if grep -qx "tbxdump:input" <<<"$ports" && grep -qx "tbxseq:out" <<<"$ports" &&
     grep -qx "tbxframes:input" <<<"$ports"; then break; fi
  sleep 0.1
done

TBX_JACK_E2E=1 TBX_JACK_SINK=tbxdump:input TBX_JACK_SOURCE=tbxseq:out TBX_JACK_DUMP="$work/dump.txt" \
  TBX_JACK_FRAMES="$work/frames.txt" "$tests" --gtest_filter='MidiInJack*' >"$work/tests.log" 2>&1
rc=$?
cat "$work/tests.log"
if [ $rc -eq 0 ] && ! grep -q "PASSED.*7 tests" "$work/tests.log"; then
  echo "FAILED: the MidiInJack tests did not run"
  rc=1
fi

# The real window on that server (under Xvfb, where the X tools are there): the MIDI-OUT
# pull-down lists a port that appeared since it last opened (one item, 19 pixels, more),
# and no longer lists it once it is gone.
if command -v Xvfb >/dev/null 2>&1 && command -v xwininfo >/dev/null 2>&1 && [ -x "$build/tamborix144" ]; then
  . "$(dirname "$0")/lib.sh"
  e2e_init "$build" "${2:-$(dirname "$0")/../..}"
  trap 'e2e_cleanup; jack_cleanup' EXIT
  start_xvfb
  start_tamborix "$build/tamborix144"
  pulldown() {   # opens MIDI-OUT (x 625..677 at scale 1), prints the pull-down's height, closes it
    pointer_to $((WIN_X + 640)) $((WIN_Y + 10)); xdotool click 1
    sleep 0.5
    xwininfo -root -children | sed -n 's/^ *0x[0-9a-f]* (has no name): ()  [0-9]*x\([0-9]*\)+.*/\1/p' | sort -n | tail -1
    xdotool key Escape
    sleep 0.3
  }
  h1=$(pulldown)
  jack_midi_dump tbxlate >/dev/null 2>&1 &
  late=$!
  for _ in $(seq 50); do jack_lsp 2>/dev/null | grep -qx "tbxlate:input" && break; sleep 0.1; done
  h2=$(pulldown)
  [ "$h2" -eq $((h1 + 19)) ]; check $? "a port started after the program shows in MIDI-OUT ($h1 -> $h2 pixels)"
  kill -INT "$late"
  wait "$late" 2>/dev/null
  h3=$(pulldown)
  [ "$h3" -eq "$h1" ]; check $? "and is gone from it when it ends ($h3 pixels)"
  [ "$E2E_FAILS" -eq 0 ] || rc=1
  echo "jack_midi (window): $E2E_CHECKS passed, $E2E_FAILS failed"
fi

# A server that dies under the program: the test kills it itself (and bash would report the
# death of its job on stderr).
exec 3>&2 2>/dev/null
gone="$JACK_DEFAULT_SERVER-gone"
jackd -n "$gone" --no-realtime -d dummy -r 48000 -p 256 >"$work/gone.log" 2>&1 &
gonepid=$!
if ! JACK_DEFAULT_SERVER=$gone jack_wait -w -t 10 >/dev/null 2>&1; then
  exec 2>&3 3>&-
  echo "FAILED: the second JACK server did not start"
  cat "$work/gone.log"
  kill -INT "$gonepid" 2>/dev/null
  exit 1
fi
JACK_DEFAULT_SERVER=$gone TBX_JACK_E2E=1 TBX_JACK_SERVER_PID=$gonepid TBX_JACK_PIDS="$work/pids" \
  "$tests" --gtest_filter='MidiJackGone*' >"$work/gone-tests.log" 2>&1
gonerc=$?
kill -KILL "$gonepid" 2>/dev/null
{ wait "$gonepid"; } 2>/dev/null
# What the test started on its own (the server again, a monitor), should it not have ended it.
while read -r pid; do kill -INT "$pid" 2>/dev/null; done <"$work/pids" 2>/dev/null
sleep 0.5
jack_reclaim_slots   # the killed server's slot
exec 2>&3 3>&-
cat "$work/gone-tests.log"
if [ $gonerc -ne 0 ] || ! grep -q "PASSED.*1 test" "$work/gone-tests.log"; then
  echo "FAILED: the MidiJackGone test"
  rc=1
fi
exit $rc
