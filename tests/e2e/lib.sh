# Shared helpers of the end-to-end scripts: a private Xvfb server, starting a program and
# finding its window, screenshots and pixel colours, clicks and drags in client coordinates,
# and waiting for a program to end. Source it from a script that was given the build folder
# and the source folder (as ctest does):
#
#   . "$(dirname "$0")/lib.sh"
#   e2e_init "$@"
#   start_xvfb
#   start_tamborix "$BUILD/tamborix144"   # sets PID, WID, WIN_X, WIN_Y, CLIENT_X, CLIENT_Y
#   screenshot; pixel_is 212 20 221 204 153 "tan bar start"
#
# Under Xvfb without a window manager a top-level window sits where it was placed, with no
# frame or title bar, so its client area starts right under the menu bar. Every helper
# fails the script with a message on stderr ("FAIL: ..."); a script ends with e2e_pass.
# The programs keep their settings file in the scratch folder ($XDG_CONFIG_HOME), never in
# the user's.

set -uo pipefail

# The Python snippets read screenshots with ppm.py beside this file.
export PYTHONPATH="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)${PYTHONPATH:+:$PYTHONPATH}"

# Height in pixels of the FLTK display's menu bar at scale 1 (the client area starts below
# it); a program drawn at a larger scale (TAMBORIX_SCALE=2, or a screen of 192 dpi) has one
# as much higher: set TBX_SCALE (1, 1.25, 1.5, 1.75 or 2) before starting it.
TBX_MENU_HEIGHT=${TBX_MENU_HEIGHT:-20}
TBX_SCALE=${TBX_SCALE:-1}

# scaled PIXELS: a length of scale 1 at TBX_SCALE, rounded as the program rounds it.
scaled() {
  local q
  case $TBX_SCALE in 1.25) q=5 ;; 1.5) q=6 ;; 1.75) q=7 ;; *) q=$((TBX_SCALE * 4)) ;; esac
  echo $((($1 * q + 2) / 4))
}

E2E_FAILS=0            # failed checks so far
E2E_CHECKS=0           # checks made so far
E2E_PIDS=()            # programs started here, ended at exit
XVFB_PID=""            # our X server

# e2e_init BUILD SRC: remembers the folders, makes a scratch folder, arranges cleanup.
e2e_init() {
  BUILD=$(cd "${1:?build folder}" && pwd) || exit 1
  SRC=$(cd "${2:-$(dirname "${BASH_SOURCE[0]}")/../..}" && pwd) || exit 1
  E2E_NAME=$(basename "$0" .sh)
  TMPD=$(mktemp -d "/tmp/tbx-e2e-$E2E_NAME.XXXXXX")
  export XDG_CONFIG_HOME="$TMPD/config"
  trap e2e_cleanup EXIT
}

e2e_cleanup() {
  local pid
  for pid in "${E2E_PIDS[@]}"; do
    kill "$pid" 2>/dev/null && sleep 0.2
    kill -9 "$pid" 2>/dev/null
  done
  if [ -n "$XVFB_PID" ]; then
    kill "$XVFB_PID" 2>/dev/null
    wait "$XVFB_PID" 2>/dev/null
  fi
  [ -n "${TMPD:-}" ] && [ -z "${E2E_KEEP:-}" ] && rm -rf "$TMPD"
}

fail() { echo "FAIL: $*" >&2; E2E_FAILS=$((E2E_FAILS + 1)); }
pass() { E2E_CHECKS=$((E2E_CHECKS + 1)); [ -n "${E2E_VERBOSE:-}" ] && echo "ok: $*"; return 0; }
die() { echo "FAIL: $*" >&2; echo "${E2E_NAME:-e2e}: $E2E_CHECKS passed, $((E2E_FAILS + 1)) failed"; exit 1; }
skip() { echo "skipped: $*"; exit 77; }  # ctest counts 77 as a skip

# check COND-EXIT-STATUS DESCRIPTION: counts a check.
check() {
  local status=$1; shift
  if [ "$status" -eq 0 ]; then pass "$*"; else fail "$*"; fi
}

e2e_pass() {
  local failed=$E2E_FAILS
  echo "$E2E_NAME: $((E2E_CHECKS)) passed, $failed failed"
  [ "$failed" -eq 0 ] || exit 1
  exit 0
}

require_tools() {
  local t
  for t in "$@"; do command -v "$t" >/dev/null 2>&1 || skip "$t is not installed"; done
}

# start_xvfb [SIZE [DPI]]: starts a private Xvfb (screen SIZE, default 1600x900, of DPI dots
# per inch, default Xvfb's) and exports DISPLAY. The server picks a free display number
# itself (-displayfd), so scripts running side by side never share or steal one, and does
# not reset when its last client leaves (-noreset: a program starting during a reset could
# not connect).
start_xvfb() {
  require_tools Xvfb xdotool import python3
  local i n="" size=${1:-1600x900} dpi=()
  [ -n "${2:-}" ] && dpi=(-dpi "$2")
  : >"$TMPD/display"
  Xvfb -displayfd 3 -screen 0 "${size}x24" "${dpi[@]}" -nolisten tcp -noreset 3>>"$TMPD/display" >"$TMPD/xvfb.log" 2>&1 &
  XVFB_PID=$!
  for i in $(seq 1 100); do
    n=$(tr -dc '0-9' <"$TMPD/display" 2>/dev/null)
    [ -n "$n" ] && DISPLAY=":$n" xdotool getdisplaygeometry >/dev/null 2>&1 && break
    kill -0 "$XVFB_PID" 2>/dev/null || break
    n=""
    sleep 0.1
  done
  [ -n "$n" ] || die "no Xvfb display could be started: $(cat "$TMPD/xvfb.log")"
  export DISPLAY=":$n"
}

# start_program PATH ARGS...: starts a program in the background (output to the scratch
# folder) and sets PID.
start_program() {
  "$@" >"$TMPD/out.$((${#E2E_PIDS[@]}))" 2>"$TMPD/err.$((${#E2E_PIDS[@]}))" &
  PID=$!
  E2E_PIDS+=("$PID")
}

# start_tamborix PATH ARGS...: starts a Tamborix program and waits for its main window
# (sets PID, WID and the geometry as wait_window does). A machine without MIDI input makes
# the program say "no MIDI IN detected!" in a box titled "Tamborix" before the main window
# appears; that box is answered with Return (BOXES_ANSWERED counts such answers).
BOXES_ANSWERED=0
start_tamborix() {
  start_program "$@"
  local i box
  for i in $(seq 1 200); do
    if [ -n "$(find_windows '^Tamborix - ')" ]; then
      wait_window '^Tamborix - '
      return 0
    fi
    box=$(find_windows '^Tamborix$' | head -1)
    if [ -n "$box" ]; then
      answer_box "$box" Return
      BOXES_ANSWERED=$((BOXES_ANSWERED + 1))
    fi
    kill -0 "$PID" 2>/dev/null || die "$1 ended before its window appeared: $(program_output $((${#E2E_PIDS[@]} - 1)))"
    sleep 0.1
  done
  die "no Tamborix main window within 20 s"
}

# answer_box WID KEY: puts the pointer over a box (keys go to the window under the pointer
# when no window manager runs) and presses KEY there.
answer_box() {
  local X Y WIDTH HEIGHT SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$1")"
  pointer_to $((X + WIDTH / 2)) $((Y + HEIGHT / 4)); xdotool key "$2"
  sleep 0.3
}

# program_output N: what the N-th started program printed (stdout and stderr), less the one
# line libjack's metadata store (Berkeley DB) prints when two programs on the machine open a
# JACK client at the same moment: it is libjack's, not the program's.
program_output() {
  cat "$TMPD/out.${1:-0}" "$TMPD/err.${1:-0}" 2>/dev/null | grep -vx 'BDB0126 mmap: Invalid argument' || true
}

# find_windows NAME-REGEX: ids of the visible windows whose title matches.
find_windows() { xdotool search --onlyvisible --name "$1" 2>/dev/null; }

# wait_window NAME-REGEX [SECONDS]: waits for exactly one visible window whose title
# matches; sets WID, WIN_X, WIN_Y, WIN_W, WIN_H and the client origin CLIENT_X, CLIENT_Y.
wait_window() {
  local re=$1 limit=${2:-20} i ids
  for i in $(seq 1 $((limit * 10))); do
    ids=$(find_windows "$re")
    if [ -n "$ids" ]; then
      [ "$(echo "$ids" | wc -l)" -eq 1 ] || die "more than one window titled /$re/: $ids"
      WID=$ids
      sleep 0.3   # let the first paint land
      window_geometry "$WID"
      return 0
    fi
    sleep 0.1
  done
  die "no window titled /$re/ within $limit s"
}

window_geometry() {
  local X Y WIDTH HEIGHT SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$1")"
  WIN_X=$X; WIN_Y=$Y; WIN_W=$WIDTH; WIN_H=$HEIGHT
  CLIENT_X=$WIN_X; CLIENT_Y=$((WIN_Y + $(scaled "$TBX_MENU_HEIGHT")))
}

window_title() { xdotool getwindowname "$1" 2>/dev/null; }

# screenshot [NAME]: grabs the whole screen into $TMPD/NAME.png and $TMPD/NAME.ppm, which
# pixel and region read, once the screen has stopped changing (two grabs alike, at most
# about 4 s: a loaded machine may repaint late). Sets SHOT to the PNG.
screenshot() {
  local name=${1:-shot} i last="" sum
  sleep 0.2
  for i in $(seq 1 12); do
    import -window root "$TMPD/$name.png" 2>/dev/null || die "screenshot failed"
    /usr/bin/convert "$TMPD/$name.png" -depth 8 "ppm:$TMPD/$name.ppm" 2>/dev/null \
      || die "cannot convert the screenshot"
    sum=$(md5sum <"$TMPD/$name.ppm")
    [ "$sum" = "$last" ] && break
    last=$sum
    sleep 0.15
  done
  SHOT=$TMPD/$name.png
  SHOT_PPM=$TMPD/$name.ppm
}

# await_region X Y W H eq|ne HASH [SECONDS]: takes screenshots until the hash of a client
# rectangle equals (eq) or differs from (ne) HASH, at most SECONDS (5); sets REGION to the
# last hash and returns 0 when the condition was met.
await_region() {
  local x=$1 y=$2 w=$3 h=$4 op=$5 want=$6 limit=${7:-5} end
  end=$((SECONDS + limit))
  while :; do
    screenshot await
    REGION=$(region_hash "$x" "$y" "$w" "$h")
    if [ "$op" = eq ]; then [ "$REGION" = "$want" ] && return 0
    else [ "$REGION" != "$want" ] && return 0; fi
    [ $SECONDS -ge $end ] && return 1
    sleep 0.2
  done
}

# pixels X Y [X Y ...]: prints "R G B" for each client point of the last screenshot.
pixels() {
  python3 - "$SHOT_PPM" "$CLIENT_X" "$CLIENT_Y" "$@" <<'EOF'
import sys
from ppm import load
path, ox, oy = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
pts = [int(v) for v in sys.argv[4:]]
data, w, h = load(path)
for i in range(0, len(pts), 2):
    x, y = pts[i] + ox, pts[i + 1] + oy
    if not (0 <= x < w and 0 <= y < h):
        print("off-screen"); continue
    o = 3 * (y * w + x)
    print(data[o], data[o + 1], data[o + 2])
EOF
}

# pixel_is X Y R G B DESCRIPTION: one client pixel of the last screenshot has that colour.
pixel_is() {
  local got
  got=$(pixels "$1" "$2")
  if [ "$got" = "$3 $4 $5" ]; then pass "$6"; else fail "$6: pixel ($1,$2) is ($got), expected ($3 $4 $5)"; fi
}

# region_hash X Y W H: a hash of a client rectangle of the last screenshot (to compare
# what a read-out shows before and after an action).
region_hash() {
  python3 - "$SHOT_PPM" "$((CLIENT_X + $1))" "$((CLIENT_Y + $2))" "$3" "$4" <<'EOF'
import sys, hashlib
from ppm import load
path, x0, y0, rw, rh = sys.argv[1], *map(int, sys.argv[2:])
data, w, h = load(path)
m = hashlib.sha1()
for y in range(y0, y0 + rh):
    o = 3 * (y * w + x0)
    m.update(data[o:o + 3 * rw])
print(m.hexdigest())
EOF
}

# count_pixels X Y W H TEST: how many pixels of a screen rectangle (of the last screenshot)
# pass TEST, a Python expression over r, g and b.
count_pixels() {
  python3 - "$SHOT_PPM" "$1" "$2" "$3" "$4" "$5" <<'EOF'
import sys
from ppm import load
path, x0, y0, rw, rh = sys.argv[1], *map(int, sys.argv[2:6])
test = compile(sys.argv[6], 'test', 'eval')
data, w, h = load(path)
n = 0
for y in range(y0, y0 + rh):
    for x in range(x0, x0 + rw):
        o = 3 * (y * w + x)
        r, g, b = data[o], data[o + 1], data[o + 2]
        if eval(test): n += 1
print(n)
EOF
}

# title_runs: "start end" of each run of dark pixels in the menu bar of the last screenshot
# (relative to the window WIN_X, WIN_Y, WIN_W) separated by more than 5 blank columns (at
# TBX_SCALE 1; scaled at another): the bar's titles, "About" the last.
title_runs() {
  python3 - "$SHOT_PPM" "$WIN_X" "$WIN_Y" "$WIN_W" "$TBX_SCALE" <<'PY'
import sys
from ppm import load
path, x0, y0, ww, scale = sys.argv[1], *map(int, sys.argv[2:5]), float(sys.argv[5])
data, w, h = load(path)
def dark(x):
    for y in range(y0 + round(3 * scale), y0 + round(17 * scale)):
        o = 3 * (y * w + x)
        if data[o] + data[o + 1] + data[o + 2] < 450: return True
    return False
runs, start, last = [], None, None
for x in range(x0, x0 + ww):
    if dark(x):
        if start is None: start = x
        last = x
    elif start is not None and x - last > round(5 * scale):
        runs.append((start, last)); start = None
if start is not None: runs.append((start, last))
for a, b in runs: print(a - x0, b - x0)
PY
}

# dark_pixels X Y W H: how many pixels of a client rectangle are dark (text, lines).
dark_pixels() {
  count_pixels "$((CLIENT_X + $1))" "$((CLIENT_Y + $2))" "$3" "$4" 'r + g + b < 200'
}

# edge_ink WID: how many dark pixels of the last screenshot lie within 4 pixels of a
# window's edges; a dialog whose labels or buttons are cut off by its edges has some there.
edge_ink() {
  local X Y WIDTH HEIGHT SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$1")"
  python3 - "$SHOT_PPM" "$X" "$Y" "$WIDTH" "$HEIGHT" <<'PY'
import sys
from ppm import load
path, x0, y0, ww, wh = sys.argv[1], *map(int, sys.argv[2:])
data, w, h = load(path)
band = {(x, y) for y in range(y0, y0 + wh) for x in (*range(x0, x0 + 4), *range(x0 + ww - 4, x0 + ww))}
band |= {(x, y) for x in range(x0, x0 + ww) for y in (*range(y0, y0 + 4), *range(y0 + wh - 4, y0 + wh))}
print(sum(1 for x, y in band if 0 <= x < w and 0 <= y < h and sum(data[3 * (y * w + x):3 * (y * w + x) + 3]) < 200))
PY
}

# pointer_to X Y: moves the pointer to a screen point and waits until it is there. xdotool's
# own wait (mousemove --sync) waits for a motion, which never comes when the pointer is
# there already: it then gives up only after 15 s.
pointer_to() {
  local X Y SCREEN WINDOW
  eval "$(xdotool getmouselocation --shell)"
  [ "$X" = "$1" ] && [ "$Y" = "$2" ] && return 0
  xdotool mousemove --sync "$1" "$2"
}

# click X Y [BUTTON]: moves the pointer to a client point and clicks (1 left, 2 middle,
# 3 right).
click() {
  pointer_to $((CLIENT_X + $1)) $((CLIENT_Y + $2))
  xdotool click "${3:-1}"
  sleep 0.15
}

# drag X1 Y1 X2 Y2: presses the left button at one client point, moves in small steps to
# the other and releases there.
drag() {
  local x1=$((CLIENT_X + $1)) y1=$((CLIENT_Y + $2)) x2=$((CLIENT_X + $3)) y2=$((CLIENT_Y + $4)) i
  pointer_to "$x1" "$y1"; xdotool mousedown 1
  for i in 1 2 3 4 5 6 7 8; do
    pointer_to $((x1 + (x2 - x1) * i / 8)) $((y1 + (y2 - y1) * i / 8))
    sleep 0.03
  done
  xdotool mouseup 1
  sleep 0.15
}

# key KEYS...: sends key strokes (xdotool names, e.g. Return, ctrl+q) to the focused window.
key() { xdotool key --clearmodifiers "$@"; sleep 0.15; }

# close_window WID: asks the window to close as a window manager would (WM_DELETE_WINDOW),
# through a small X client built on first use.
close_window() {
  if [ ! -x "$TMPD/wmclose" ]; then
    cc -O1 -o "$TMPD/wmclose" "$SRC/tests/e2e/wmclose.c" -lX11 || die "cannot build wmclose"
  fi
  "$TMPD/wmclose" "$1" || fail "could not send WM_DELETE_WINDOW to $1"
}

# wait_exit PID SECONDS: waits for the program to end; sets EXIT_CODE (124 on time-out).
wait_exit() {
  local pid=$1 limit=${2:-10} i
  for i in $(seq 1 $((limit * 10))); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"; EXIT_CODE=$?
      return 0
    fi
    sleep 0.1
  done
  EXIT_CODE=124
}
