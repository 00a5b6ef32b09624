#!/usr/bin/env bash
# The menu bar of every program fits its window, at scale 1 and at scale 2 (a high-dpi
# screen, here TAMBORIX_SCALE=2), and that of the two narrowest (96 and 72 steps) at the
# quarters between (1.25 and 1.75, where every size rounds): the last title, "About", ends
# inside the client width, and a click on "Instr.Ch", the title before it, opens that
# title's pull-down under it.
#
# Titles are found from a screenshot with title_runs (lib.sh; the blank inside "Chromatic
# Instr." is narrower than the gap between titles, so that title counts as two runs in the
# three wider programs); the pull-down is where the screen changed below the bar after the
# click. One screen large enough for the windows at scale 2 serves both scales.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
start_xvfb 3000x1000


# changed_left BEFORE AFTER Y0 Y1: the leftmost screen column where two screenshots differ
# between rows Y0 and Y1 (-1 when they do not).
changed_left() {
  python3 - "$1" "$2" "$3" "$4" <<'PY'
import sys
from ppm import load
a, w, _ = load(sys.argv[1]); b, _, _ = load(sys.argv[2])
y0, y1 = int(sys.argv[3]), int(sys.argv[4])
left = -1
for y in range(y0, y1):
    row_a, row_b = a[3 * w * y:3 * w * (y + 1)], b[3 * w * y:3 * w * (y + 1)]
    if row_a == row_b: continue
    for x in range(w):
        if row_a[3 * x:3 * x + 3] != row_b[3 * x:3 * x + 3]:
            if left < 0 or x < left: left = x
            break
print(left)
PY
}

for TBX_SCALE in 1 1.25 1.75 2; do
  export TAMBORIX_SCALE=$TBX_SCALE
  s=$TBX_SCALE
  programs="144 128 96 72"
  case $s in 1.*) programs="96 72" ;; esac
  for steps in $programs; do
    PROG="$BUILD/tamborix$steps"
    [ -x "$PROG" ] || die "missing $PROG"
    at="tamborix$steps at scale $s"
    start_tamborix "$PROG"
    screenshot "bar$steps-$s"
    mapfile -t runs < <(title_runs)
    [ "${#runs[@]}" -ge 15 ]; check $? "$at: at least 15 title runs in the bar (${#runs[@]})"
    read -r a_start a_end <<<"${runs[-1]}"
    width=$((a_end - a_start + 1))
    [ "$width" -ge "$(scaled 30)" ] && [ "$width" -le "$(scaled 42)" ]; check $? "$at: the last run is 'About' ($width px wide)"
    [ "$a_end" -le $((WIN_W - $(scaled 4))) ]; check $? "$at: 'About' ends at $a_end, inside the $WIN_W-pixel window"

    read -r i_start i_end <<<"${runs[-2]}"
    before=$SHOT_PPM; cp "$before" "$TMPD/before.ppm"
    pointer_to $((WIN_X + (i_start + i_end) / 2)) $((WIN_Y + $(scaled 10))); xdotool click 1
    sleep 0.5
    screenshot "open$steps-$s"
    left=$(changed_left "$TMPD/before.ppm" "$SHOT_PPM" $((WIN_Y + $(scaled $((TBX_MENU_HEIGHT + 4))))) $((WIN_Y + $(scaled 200))))
    left=$((left - WIN_X))
    [ "$left" -ge $((i_start - $(scaled 12))) ] && [ "$left" -le "$i_start" ]
    check $? "$at: a click on 'Instr.Ch' opens a pull-down under it (left edge $left, title at $i_start)"
    xdotool key Escape
    sleep 0.3
    kill "$PID" 2>/dev/null
    wait "$PID" 2>/dev/null
  done
done
e2e_pass
