# Shared helpers of the JACK and PulseAudio scripts: their common start (tools, test binary,
# scratch folder, cleanup), a private JACK server with the dummy driver, and the
# reclaiming of registry slots that killed test servers leave behind.
#
# JACK keeps its running servers in a shared registry of eight slots
# (/dev/shm/jack-shm-registry). A server that exits normally frees its slot; one that is
# killed (as the test of a server dying under the program does) keeps it for good, because a
# new server only takes back a dead slot of its own name. After eight such kills no server of
# any new name can start on the machine. Source this file, then call jack_reclaim_slots before
# starting servers and after killing one.

JACK_REGISTRY=${JACK_REGISTRY:-/dev/shm/jack-shm-registry}

# Prints "PID NAME" for every used slot of the registry. Layout (little-endian): a header of
# 24 bytes whose fifth word is the header's length, then slots of 264 bytes each, a pid_t and
# the name as "jack-UID:SERVER:" with a NUL.
jack_registry_slots() {
  [ -r "$JACK_REGISTRY" ] || return 0
  local hdr off pid name
  hdr=$(od -An -t u4 -j 16 -N 4 "$JACK_REGISTRY" | tr -d ' ')
  [ -n "$hdr" ] || return 0
  for ((off = 24; off + 264 <= hdr; off += 264)); do
    pid=$(od -An -t d4 -j "$off" -N 4 "$JACK_REGISTRY" | tr -d ' ')
    [ "${pid:-0}" -gt 0 ] || continue
    name=$(dd if="$JACK_REGISTRY" bs=1 skip=$((off + 4)) count=257 status=none | tr -d '\0')
    echo "$pid $name"
  done
}

# Frees the slots of this user's test servers (names starting with "tbx") whose process is
# gone: a server of the same name started for a moment takes the slot back and frees it when
# it exits normally. Slots of live servers and of other users are left alone.
jack_reclaim_slots() {
  local pid name server jpid
  local prefix="jack-$(id -u):"
  while read -r pid name; do
    case $name in "$prefix"tbx*) ;; *) continue ;; esac
    kill -0 "$pid" 2>/dev/null && continue
    server=${name#"$prefix"}
    server=${server%:}
    jackd -n "$server" --no-realtime -d dummy -r 48000 -p 256 >/dev/null 2>&1 &
    jpid=$!
    JACK_DEFAULT_SERVER=$server jack_wait -w -t 5 >/dev/null 2>&1
    kill -INT "$jpid" 2>/dev/null
    { wait "$jpid"; } 2>/dev/null
    rm -f /dev/shm/jack_sem.*_"$server"_* /dev/shm/jack_"$server"_* 2>/dev/null
  done < <(jack_registry_slots)
}

# jack_start_server LOG: starts the server $JACK_DEFAULT_SERVER, realtime where the machine
# allows it (a non-realtime dummy server on a busy machine runs its cycles in bursts to catch
# up, so it cannot say whether a message left on its frame). Sets JACK_PID; returns 1 (the
# log printed) when no server came up.
jack_start_server() {
  local log=${1:?log file}
  jack_reclaim_slots
  jackd -n "$JACK_DEFAULT_SERVER" -R -d dummy -r 48000 -p 256 >"$log" 2>&1 &
  JACK_PID=$!
  jack_wait -w -t 10 >/dev/null 2>&1 && return 0
  kill -INT "$JACK_PID" 2>/dev/null
  { wait "$JACK_PID"; } 2>/dev/null
  jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 48000 -p 256 >"$log" 2>&1 &
  JACK_PID=$!
  jack_wait -w -t 10 >/dev/null 2>&1 && return 0
  echo "FAILED: the JACK server $JACK_DEFAULT_SERVER did not start"
  cat "$log"
  return 1
}

# servers_init BUILD TOOL...: the common start of the scripts that run tests against sound
# servers of their own. Skips (exit 77) unless every TOOL is on the PATH; sets tests (the
# test binary of BUILD), work (a scratch folder) and pids (children ended at exit, in
# reverse order); what a test starts itself it writes into $work/pids, ended at exit too.
servers_init() {
  local build=${1:?build folder} t
  shift
  for t in "$@"; do
    if ! command -v "$t" >/dev/null 2>&1; then
      echo "skipped: $t is not installed"
      exit 77
    fi
  done
  tests=""
  for t in "$build/tests/tbx_tests" "$build/tbx_tests"; do
    [ -x "$t" ] && tests=$t && break
  done
  if [ -z "$tests" ]; then
    echo "FAILED: tbx_tests is not built in $build"
    exit 1
  fi
  work=$(mktemp -d)
  pids=()
  trap jack_cleanup EXIT
}

# jack_init BUILD PREFIX TOOL...: servers_init with jackd, jack_midi_dump and the TOOLs;
# names the server $TBX_JACK_SERVER or PREFIX-PID, a server of its own that never meets
# another script's, and never lets a client start one.
jack_init() {
  local build=${1:?build folder} prefix=${2:?server prefix}
  shift 2
  servers_init "$build" jackd jack_midi_dump "$@"
  export JACK_DEFAULT_SERVER="${TBX_JACK_SERVER:-$prefix-$$}"
  export JACK_NO_START_SERVER=1
}

# Clients first, then the servers, all with SIGINT: the clients then close their JACK
# connections, where after a SIGTERM the server waits seconds for them.
jack_cleanup() {
  local i
  [ -f "$work/pids" ] && while read -r i; do kill -INT "$i" 2>/dev/null; done <"$work/pids"
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -INT "${pids[i]}" 2>/dev/null
    wait "${pids[i]}" 2>/dev/null
  done
  [ -n "${JACK_DEFAULT_SERVER:-}" ] && rm -f /dev/shm/jack_sem.*_"$JACK_DEFAULT_SERVER"_* 2>/dev/null
  rm -rf "$work"
}
