#!/usr/bin/env bash
# Start-up of the real programs under Xvfb: tamborix144 shows one window titled
# "Tamborix - (Untitled)" whose grid, keyboard columns and read-outs look as painted by the
# program; the tempo bar answers arrow, track and thumb presses; closing the window ends
# the program with exit code 0. Then tamborix72: one keyboard column, right of the grid.
#
# Geometry (8 x 16 pixel character cell): cell (s, r) spans x (s + GRID_LEFT) * 8 .. + 8
# and y ((48 - r) * 2 + 4) * 4 .. + 8, so its centre is ((s + GRID_LEFT) * 8 + 4,
# (48 - r) * 8 + 20); keyboard key k (k = 0 at the top) is on the band of row 48 - k; the
# tempo bar is at ((PANEL_LEFT + 0.3) * 8, 16), 16 x 128, range 0..466 at 506 - tempo.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
PROG="$BUILD/tamborix144"
[ -x "$PROG" ] || skip "missing $PROG"
start_xvfb

TAN="221 204 153"; GREEN="204 221 153"; PLAIN="255 255 238"
ROW0="255 221 221"; ROW1="204 221 255"; BLACK="0 0 0"; WHITE="255 255 255"

GRID_LEFT=26
cell_x() { echo $((($1 + GRID_LEFT) * 8 + 4)); }
row_y() { echo $(((48 - $1) * 8 + 20)); }
# gPianoKbd at the default transposition: key k is black when k mod 12 is 0, 2, 4, 7 or 9
key_colour() { case $(($1 % 12)) in 0|2|4|7|9) echo "$BLACK";; *) echo "$WHITE";; esac; }

# --------------------------------------------------------------------------- tamborix144
start_tamborix "$PROG"
MAIN=$PID
[ "$(window_title "$WID")" = "Tamborix - (Untitled)" ]; check $? "caption is 'Tamborix - (Untitled)'"
n=$(find_windows '^Tamborix' | wc -l); [ "$n" -eq 1 ]; check $? "exactly one Tamborix window ($n)"
# 176 cells is the whole window on Windows; the core keeps a 3-pixel frame on each side
[ "$WIN_W" -eq $((176 * 8 - 6)) ]; check $? "client area of a 176-cell window ($WIN_W px)"

screenshot start
# one pixel per checked cell, so that the whole grid costs one pixel read
points=(); expect=(); what=()
add() { points+=("$1" "$2"); expect+=("$3"); what+=("$4"); }
for s in 0 4 8 136 140; do add "$(cell_x $s)" "$(row_y 20)" "$TAN" "bar start column $s"; done
for r in 2 14 26 38; do add "$(cell_x 1)" "$(row_y $r)" "$TAN" "row $r (r mod 12 = 2) is tan"; done
for r in 7 19 31 43; do add "$(cell_x 1)" "$(row_y $r)" "$GREEN" "row $r (r mod 12 = 7) is green"; done
add "$(cell_x 4)" "$(row_y 7)" "$TAN" "a bar start wins over the green row"
for s in 1 2 3 5 143; do add "$(cell_x $s)" "$(row_y 20)" "$PLAIN" "plain cell ($s, 20)"; done
add "$(cell_x 1)" "$(row_y 48)" "$PLAIN" "plain cell (1, 48)"
add "$(cell_x 1)" "$(row_y 0)" "$ROW0" "row 0 is light red"
add "$(cell_x 1)" "$(row_y 1)" "$ROW1" "row 1 is light blue"
add "$(cell_x 0)" "$(row_y 1)" "$ROW1" "row 1 is light blue on a bar start too"
add $(((1 + GRID_LEFT) * 8)) "$(row_y 20)" "$BLACK" "cell outlines are black"
add "$(cell_x 1)" $((47 * 16 / 4 + 3 + 1)) "$BLACK" "keyboard-split mark in row 27"
for k in 0 1 2 3 4 5 6 7 9 11 12 46; do
  add 204 "$(row_y $((48 - k)))" "$(key_colour $k)" "left keyboard key $k"
  add $(((144 + GRID_LEFT) * 8 + 4)) "$(row_y $((48 - k)))" "$(key_colour $k)" "right keyboard key $k"
done
mapfile -t got < <(pixels "${points[@]}")
for i in "${!expect[@]}"; do
  if [ "${got[$i]}" = "${expect[$i]}" ]; then pass "${what[$i]}"
  else fail "${what[$i]}: pixel (${points[$((2 * i))]},${points[$((2 * i + 1))]}) is (${got[$i]}), expected (${expect[$i]})"; fi
done

# percussion names and their leaders left of the keyboard
n=$(dark_pixels 0 16 200 392); [ "$n" -gt 2000 ]; check $? "percussion names and leaders are drawn ($n dark pixels)"
# side panel: labels and the four read-outs (tempo, rel.Beat, velocity, base note)
P=$((172 * 8))
for item in "Bpm $((P - 6)) 0" "tempo $((P - 4)) 144" "rel.Beat $((P - 4)) 160" \
            "velocity $((P - 4)) 336" "base-note $((P - 4)) 396" "Vel $P 192"; do
  read -r name x y <<<"$item"
  n=$(dark_pixels "$x" "$y" 28 16); [ "$n" -gt 4 ]; check $? "$name text is shown ($n dark pixels)"
done

# ---- the tempo bar
BX=$((P + 2 + 8)); BT=16; BB=$((16 + 128))
readout() { region_hash $((P - 4)) 144 28 16; }
readout_left() { region_hash $((P - 4)) 144 17 16; }    # the first two of three digits
H120=$(readout); L120=$(readout_left)
R="$((P - 4)) 144 28 16"                                # the tempo read-out
click "$BX" $((BT + 8))                                 # up arrow: 120 -> 121
await_region $R ne "$H120"; check $? "up arrow changes the tempo read-out"
H121=$REGION
[ "$(readout_left)" = "$L120" ]; check $? "up arrow raises 120 to 121 (only the last digit changes)"
click "$BX" $((BB - 8))                                 # down arrow: back to 120
await_region $R eq "$H120"; check $? "down arrow brings the read-out back to 120"
click "$BX" $((BT + 20))                                # track above the thumb: 120 -> 140
await_region $R ne "$H120"; check $? "a press above the thumb pages the tempo up"
H140=$REGION
[ "$H140" != "$H121" ] && [ "$(readout_left)" != "$L120" ]; check $? "paging moves the tempo by more than one"
click "$BX" $((BB - 20))                                # track below the thumb: back to 120
await_region $R eq "$H120"; check $? "a press below the thumb pages back to 120"
# thumb: position 386 of 466 over the 80 pixels the 16-pixel thumb travels
THUMB=$((BT + 16 + (386 * 80 + 233) / 466 + 8))
drag "$BX" "$THUMB" "$BX" $((BT - 40))
await_region $R ne "$H120"; check $? "dragging the thumb to the top changes the tempo"
H506=$REGION
TROUGH="224 224 224"
[ "$(pixels "$BX" $((BT + 16 + 8)))" != "$TROUGH" ]; check $? "the thumb stands at the top of the track"
pixel_is "$BX" $((BT + 16 + 56)) $TROUGH "the middle of the track is empty"
drag "$BX" $((BT + 16 + 8)) "$BX" $((BB + 40))
await_region $R ne "$H506"; check $? "dragging the thumb to the bottom changes it again"
H40=$REGION
[ "$H40" != "$H120" ]; check $? "the bottom is not 120"
[ "$(pixels "$BX" $((BB - 16 - 8)))" != "$TROUGH" ]; check $? "the thumb stands at the bottom of the track"
n40=$(dark_pixels $((P - 4)) 144 28 16)
click "$BX" $((BB - 8))                                 # at 40 BPM the down arrow changes nothing
screenshot floor
[ "$(readout)" = "$H40" ]; check $? "the down arrow stops at 40 BPM"
click "$BX" $((BT + 8))                                 # 41
await_region $R ne "$H40"; check $? "up from 40 gives 41"
click "$BX" $((BB - 8))                                 # 40
await_region $R eq "$H40"; check $? "one up and one down at the bottom give 40 again"
[ "$n40" -gt 10 ]; check $? "read-out shows 40 BPM ($n40 dark pixels)"

# ---- closing the window ends the program with 0
close_window "$WID"
wait_exit "$MAIN" 10
[ "$EXIT_CODE" -eq 0 ]; check $? "closing the window ends tamborix144 with 0 (got $EXIT_CODE)"
[ -z "$(find_windows '^Tamborix')" ]; check $? "no window is left behind"
out=$(program_output 0); [ -z "$out" ]; check $? "nothing printed on the terminal: '$out'"

# --------------------------------------------------------------------------- tamborix72
PROG72="$BUILD/tamborix72"
if [ -x "$PROG72" ]; then
  GRID_LEFT=25
  start_tamborix "$PROG72"
  P72=$PID
  [ "$(window_title "$WID")" = "Tamborix - (Untitled)" ]; check $? "72: caption"
  [ "$WIN_W" -eq $((103 * 8 - 6)) ]; check $? "tamborix72's client area of a 103-cell window ($WIN_W px)"
  screenshot start72
  points=(); expect=(); what=()
  add 204 "$(row_y 20)" "$TAN" "72: column 0 of the grid at 25 cells (no left keyboard)"
  add 204 "$(row_y 48)" "$TAN" "72: ... also on row 48, where the left keyboard's black key would be"
  add "$(cell_x 71)" "$(row_y 20)" "$PLAIN" "72: last step 71"
  for k in 0 1 2 5 7 46; do add $((97 * 8 + 4)) "$(row_y $((48 - k)))" "$(key_colour $k)" "72: keyboard key $k at 97 cells"; done
  mapfile -t got < <(pixels "${points[@]}")
  for i in "${!expect[@]}"; do
    if [ "${got[$i]}" = "${expect[$i]}" ]; then pass "${what[$i]}"
    else fail "${what[$i]}: pixel (${points[$((2 * i))]},${points[$((2 * i + 1))]}) is (${got[$i]}), expected (${expect[$i]})"; fi
  done
  close_window "$WID"
  wait_exit "$P72" 10
  [ "$EXIT_CODE" -eq 0 ]; check $? "closing the window ends tamborix72 with 0 (got $EXIT_CODE)"
fi

e2e_pass
