#!/usr/bin/env bash
# Editing the grid of the real program under Xvfb: a left click on an empty cell shows it
# in the cursor's percussion colour, Shift+click cycles it accented (darker), ghost
# (lighter) and normal again, the x key clears it (the empty cursor cell is pure blue), the
# up arrow moves the cursor and the pointer, and a right click in the strip above the grid
# moves the end marker there.
# Geometry: character cell 8 x 16 pixels; cell (s, r) spans x (s + 26) * 8 .. + 8 and
# y ((48 - r) * 2 + 4) * 4 .. + 8; the marker strip is y 0 .. 16.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
PROG="$BUILD/tamborix144"
[ -x "$PROG" ] || skip "missing $PROG"
start_xvfb
start_tamborix "$PROG"

cell_x() { echo $((($1 + 26) * 8 + 4)); }
cell_y() { echo $(((48 - $1) * 8 + 20)); }

# Cell (10, 20): empty and not on a bar or coloured row.
X=$(cell_x 10); Y=$(cell_y 20)
screenshot before
pixel_is "$X" "$Y" 255 255 238 "cell (10, 20) starts empty"

click "$X" "$Y" 1
screenshot clicked
pixel_is "$X" "$Y" 255 0 102 "left click sets the percussion bit, shown with the cursor"

# Shift+click: accented, ghost, normal; drawn so under the cursor and off it.
shift_click() {
  pointer_to $((CLIENT_X + $1)) $((CLIENT_Y + $2)); xdotool keydown shift click 1 keyup shift
  sleep 0.15
}
shift_click "$X" "$Y"
screenshot accent
pixel_is "$X" "$Y" 150 0 60 "shift+click accents the note: darker under the cursor"
shift_click "$X" "$Y"
screenshot ghost
pixel_is "$X" "$Y" 255 150 190 "a second shift+click makes it a ghost note: lighter"
click "$(cell_x 30)" "$(cell_y 20)" 2
screenshot ghost_off
pixel_is "$X" "$Y" 230 150 230 "off the cursor the ghost note is lighter than a plain one"
click "$X" "$Y" 1
click "$X" "$Y" 1
shift_click "$X" "$Y"
shift_click "$X" "$Y"
shift_click "$X" "$Y"
screenshot normal
pixel_is "$X" "$Y" 255 0 102 "the third shift+click makes it normal again"
key a
screenshot key_a
pixel_is "$X" "$Y" 150 0 60 "the key a accents the cursor cell"

key x
screenshot cleared
pixel_is "$X" "$Y" 0 0 255 "x clears the cursor cell, which stays highlighted"

key Up
screenshot up
pixel_is "$X" "$(cell_y 21)" 0 0 255 "the up arrow moves the cursor to (10, 21)"
pixel_is "$X" "$Y" 255 255 238 "and takes the highlight off (10, 20)"
key Up
screenshot up2
pixel_is "$X" "$(cell_y 22)" 0 0 255 "the pointer followed, so a second up arrow reaches (10, 22)"

# End marker: drawn right of the last played step, at (LoopEnd + 26) * 8. At the end of
# the grid only 9 pixels are looked at: "Bpm" starts at 171.3 character units.
OLD=$(((144 + 26) * 8)); NEW=$(((100 + 26) * 8))
n=$(dark_pixels "$OLD" 0 9 16); [ "$n" -gt 0 ]; check $? "end marker first after step 143 ($n dark pixels)"
click $((NEW + 4)) 4 3
screenshot marker
n=$(dark_pixels "$NEW" 0 16 16); [ "$n" -gt 0 ]; check $? "right click in the strip draws the end marker at step 100 ($n dark pixels)"
n=$(dark_pixels "$OLD" 0 9 16); [ "$n" -eq 0 ]; check $? "the old end marker is erased ($n dark pixels)"

e2e_pass
