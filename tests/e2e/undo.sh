#!/usr/bin/env bash
# The undo history in the real program under Xvfb: a project is loaded from the command
# line; a click sets a cell, k cuts its bar (taking the click back first), L rotates the
# play range. Ctrl+Z three times brings back the loaded pattern, Ctrl+Y the clicked cell,
# Ctrl+Shift+Z the cut: each state is saved with Ctrl+S and its bytes compared with the file
# it must be. The Play menu grays Undo once there is nothing more to undo.
# Geometry: character cell 8 x 16 pixels; cell (s, r) spans x (s + 26) * 8 .. + 8 and
# y ((48 - r) * 2 + 4) * 4 .. + 8.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
PROG="$BUILD/tamborix144"
[ -x "$PROG" ] || skip "missing $PROG"
cd "$TMPD" || die "no scratch folder"

# song.tbx: a new pattern's settings; percussion and instrument notes in bar 8..11, one
# note at step 20. expect.py writes what each state saves.
cat >expect.py <<'EOF'
import struct, sys
def image(click=False, cut=False, rotate=False):
    head = b"TBRX" + struct.pack("<16h", 3540, 500, 2, 0, 144, 4, 0, 7, 3, 4, 12, 0, 0, 9, 0, 0)
    arrays = [[0] * 146 for _ in range(6)]
    for s in range(8, 12):
        arrays[0][s] = 0x1F0 << (s - 8)      # percussion rows 4..12
        arrays[2][s] = 0x3000 << (s - 8)     # instrument rows 12..16
    arrays[0][20] = 1 << 6
    if click: arrays[0][10] |= 1 << 20
    if cut:
        for s in range(8, 12): arrays[0][s] = arrays[1][s] = arrays[2][s] = arrays[3][s] = 0
    if rotate:
        for a in arrays: a[0:144] = a[1:144] + a[0:1]
    return head + b"".join(struct.pack("<146I", *a) for a in arrays)
state = sys.argv[1]
data = {"loaded": image(), "clicked": image(click=True), "cut": image(cut=True),
        "rotated": image(cut=True, rotate=True)}[state]
open(sys.argv[2], "wb").write(data)
EOF
for state in loaded clicked cut rotated; do python3 expect.py "$state" "$state.tbx" || die "expect.py"; done
cp loaded.tbx song.tbx

cell_x() { echo $((($1 + 26) * 8 + 4)); }
cell_y() { echo $(((48 - $1) * 8 + 20)); }

# save_as_expected NAME DESCRIPTION: Ctrl+S, then song.tbx must hold the bytes of NAME.tbx.
save_as_expected() {
  local before i
  before=$(stat -c %Y.%s song.tbx 2>/dev/null; md5sum <song.tbx)
  key ctrl+s
  for i in $(seq 1 30); do
    [ "$(stat -c %Y.%s song.tbx 2>/dev/null; md5sum <song.tbx)" != "$before" ] && break
    cmp -s song.tbx "$1.tbx" && break
    sleep 0.1
  done
  sleep 0.2
  cmp -s song.tbx "$1.tbx"
  check $? "$2 (song.tbx is $1.tbx)"
}

start_xvfb
start_tamborix "$PROG" song.tbx
X=$(cell_x 10); Y=$(cell_y 20)
screenshot loaded
pixel_is "$X" "$Y" 255 255 238 "cell (10, 20) starts empty"

click "$X" "$Y" 1
key k
key l
save_as_expected rotated "click, cut and rotate are saved"

key ctrl+z ctrl+z ctrl+z
screenshot undone
pixel_is "$X" "$Y" 255 255 238 "three undos take the click back"
pixel_is "$(cell_x 8)" "$(cell_y 6)" 187 0 187 "and bring the cut notes back to step 8"
save_as_expected loaded "three undos give the loaded pattern"

# The Play menu (second title, at x 50): Undo and Redo are its last two items, after a
# separator. With three undos made and nothing left to undo, Undo is grayed like Play All
# and Redo is not, like Loop File. Items are 19 pixels from 30 below the window's top (the
# separator adds 5).
pointer_to $((WIN_X + 50)) $((WIN_Y + 10)); xdotool click 1
sleep 0.5
screenshot menu
xdotool key Escape
sleep 0.3
read -r playall loop undo redo <<<"$(python3 - "$SHOT_PPM" "$WIN_X" "$WIN_Y" <<'PY'
import sys
from ppm import load
data, w, h = load(sys.argv[1])
x0, y0 = int(sys.argv[2]), int(sys.argv[3])
def darkest(item):  # the darkest pixel of an item's label
    c = y0 + 30 + 19 * item + (5 if item >= 7 else 0)
    return min(sum(data[3 * (y * w + x):3 * (y * w + x) + 3]) for y in range(c - 6, c + 7) for x in range(x0 + 55, x0 + 110))
print(darkest(0), darkest(2), darkest(7), darkest(8))
PY
)"
[ "$playall" -gt 200 ] && [ "$undo" -gt 200 ] && [ "$loop" -lt 150 ] && [ "$redo" -lt 150 ]
check $? "Undo is grayed like Play All, Redo is not, like Loop File (darkest: $undo $playall, $redo $loop)"

key ctrl+y
screenshot redone
pixel_is "$X" "$Y" 187 0 187 "Ctrl+Y sets the clicked cell again"
save_as_expected clicked "one redo gives the clicked pattern"

key ctrl+shift+z
save_as_expected cut "Ctrl+Shift+Z redoes the cut"

e2e_pass
