#!/usr/bin/env bash
# The real program under a session manager (NSM): session_manager.py beside this file is a
# small manager over liblo that announces, opens a new project and an existing one,
# shows, hides, saves, switches to another project and back and ends the program with
# SIGTERM, checking every answer and notice, the files in the project's folder, the window
# under Xvfb, the name of the program's JACK client on a private JACK server and the
# connections a user made to its ports, which a switch keeps.
# Skipped (77) without python3's liblo, a program built without liblo, Xvfb or jackd.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/jack_lib.sh"
e2e_init "$@"
require_tools jackd jack_lsp jack_wait

PY=""
for py in /usr/bin/python3 python3; do
  if "$py" -c 'import liblo' 2>/dev/null; then PY=$py; break; fi
done
[ -n "$PY" ] || skip "python3-liblo is not installed"
PROGRAM=$BUILD/tamborix144
[ -x "$PROGRAM" ] || die "$PROGRAM is not built"
ldd "$PROGRAM" | grep -q 'liblo\.so' || skip "$PROGRAM is built without liblo"

start_xvfb
export JACK_DEFAULT_SERVER="tbx-session-$$"
export JACK_NO_START_SERVER=1
jack_start_server "$TMPD/jackd.log" || die "no JACK server"
trap 'kill -INT "$JACK_PID" 2>/dev/null; wait "$JACK_PID" 2>/dev/null; e2e_cleanup' EXIT

"$PY" "$SRC/tests/e2e/session_manager.py" "$PROGRAM" "$TMPD"
