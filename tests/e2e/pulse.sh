#!/usr/bin/env bash
# The built-in synth through PulseAudio: starts a private PulseAudio server with a null sink
# (its own runtime folder and home, so that nothing of the user's is touched or found) and
# runs the MidiPulse tests of the test binary: the synth's stream carries the program's
# name and icon, and notes sent on a steady clock sound on it, recorded from the sink's
# monitor. Then, where jackd is installed, a JACK server beside it (MidiPulseJack): the
# synth plays on JACK, through PulseAudio once that server stops, and on JACK again when a
# server runs again.
# Usage: pulse.sh BUILD_DIR [SOURCE_DIR]. Prints "skipped" and exits 77 (a skip for ctest)
# without pulseaudio, pactl and parec.
set -u
. "$(dirname "$0")/jack_lib.sh"

build=${1:?build folder}
servers_init "$build" pulseaudio pactl parec
export XDG_RUNTIME_DIR="$work/runtime" HOME="$work/home" TBX_PULSE_WORK="$work"
mkdir -p "$XDG_RUNTIME_DIR" "$HOME"
chmod 700 "$XDG_RUNTIME_DIR"
pulseaudio -n --daemonize=no --exit-idle-time=-1 -L "module-null-sink sink_name=null rate=44100" \
  -L module-native-protocol-unix >"$work/pulseaudio.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
if ! pactl info >/dev/null 2>&1; then
  echo "FAILED: the PulseAudio server did not start"
  cat "$work/pulseaudio.log"
  exit 1
fi

TBX_PULSE_E2E=1 "$tests" --gtest_filter='MidiPulse.*' >"$work/tests.log" 2>&1
rc=$?
cat "$work/tests.log"
if [ $rc -eq 0 ] && ! grep -q "PASSED.*1 test" "$work/tests.log"; then
  echo "FAILED: the MidiPulse tests did not run"
  rc=1
fi

if command -v jackd >/dev/null 2>&1; then
  export JACK_DEFAULT_SERVER="tbx-pulse-$$" JACK_NO_START_SERVER=1
  jack_start_server "$work/jackd.log" || exit 1
  TBX_PULSE_E2E=1 TBX_JACK_SERVER_PID=$JACK_PID "$tests" --gtest_filter='MidiPulseJack.*' >"$work/jack-tests.log" 2>&1
  jackrc=$?
  { wait "$JACK_PID"; } 2>/dev/null
  cat "$work/jack-tests.log"
  if [ $jackrc -ne 0 ] || ! grep -q "PASSED.*1 test" "$work/jack-tests.log"; then
    echo "FAILED: the MidiPulseJack test"
    rc=1
  fi
fi
exit $rc
