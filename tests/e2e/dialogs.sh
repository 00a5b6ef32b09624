#!/usr/bin/env bash
# Menus, boxes and dialogs of the real program under Xvfb: a settings item picked from its
# pull-down repaints the grid; the About box ignores Escape and closes with OK; the
# instrument dialog rejects 129 with a box, takes "12abc" and moves the check mark to
# "Others"; Ctrl+S on an untitled pattern opens the save dialog, which appends ".tbx";
# saving over it asks first; opening a missing file asks whether to create it; closing with unsaved changes asks, Cancel keeps the window,
# No ends the program with 0.
#
# Menu titles and items are found at the pixels the FLTK display gives them (12-pixel
# DejaVu Sans, 20-pixel bar, each title its text plus 7 pixels, 19-pixel items starting 10
# pixels below the bar).
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
PROG="$BUILD/tamborix144"
[ -x "$PROG" ] || skip "missing $PROG"
start_xvfb
cd "$TMPD" || die "no scratch folder"
start_tamborix "$PROG"
MAIN=$PID

# x of the menu titles, relative to the window
M_FILE=17; M_BEATS=94; M_INSTR=376; M_ABOUT=860
menu_pick() {   # menu_pick TITLE_X ITEM_INDEX
  pointer_to $((WIN_X + $1)) $((WIN_Y + 10)); xdotool click 1
  sleep 0.4
  pointer_to $((WIN_X + $1)) $((WIN_Y + 30 + 19 * $2)); xdotool click 1
  sleep 0.4
}
# wait_for NAME-REGEX: waits up to 5 s for a window; prints its id
wait_for() {
  local i w
  for i in $(seq 1 50); do
    w=$(find_windows "$1" | head -1)
    [ -n "$w" ] && { sleep 0.3; echo "$w"; return 0; }
    sleep 0.1
  done
  return 1
}
cell_x() { echo $((($1 + 26) * 8 + 4)); }
row_y() { echo $(((48 - $1) * 8 + 20)); }

# ---- a settings item from its pull-down: Beats/Bar 12 gives lavender sub-bar columns
menu_pick $M_BEATS 5
screenshot beats
pixel_is "$(cell_x 6)" "$(row_y 20)" 221 221 238 "Beats/Bar 12: column 6 is a sub-bar column"
pixel_is "$(cell_x 4)" "$(row_y 20)" 255 255 238 "Beats/Bar 12: column 4 is plain"
pixel_is "$(cell_x 12)" "$(row_y 20)" 221 204 153 "Beats/Bar 12: column 12 starts a bar"

# ---- About: Escape does nothing, OK closes
pointer_to $((WIN_X + M_ABOUT)) $((WIN_Y + 10)); xdotool click 1   # a plain item of the bar
ABOUT=$(wait_for '^About$'); check $? "About opens a window titled 'About'"
if [ -n "$ABOUT" ]; then
  answer_box "$ABOUT" Escape
  [ -n "$(find_windows '^About$')" ]; check $? "Escape leaves the About box open"
  window_geometry "$ABOUT"; CLIENT_Y=$WIN_Y
  screenshot about
  n=$(dark_pixels 20 68 368 452); [ "$n" -gt 2000 ]; check $? "the key help is written in the frame ($n dark pixels)"
  click $((284 + 50)) $((566 + 14))     # OK at (142, 283) dialog units, 50 x 14
  sleep 0.3
  [ -z "$(find_windows '^About$')" ]; check $? "OK closes the About box"
  wait_window '^Tamborix - '
fi

# ---- the instrument-number dialog
menu_pick $M_INSTR 12
OTHERS=$(wait_for '^Other General MIDI Instrument$'); check $? "Others opens the instrument dialog"
if [ -n "$OTHERS" ]; then
  window_geometry "$OTHERS"
  pointer_to $((WIN_X + 100)) $((WIN_Y + 150)); xdotool type 129
  xdotool key Return
  BOX=$(wait_for '^Tamborix$'); check $? "129 is answered with a box (invalid selection!)"
  [ -n "$BOX" ] && answer_box "$BOX" Return
  [ -n "$(find_windows '^Other General MIDI Instrument$')" ]; check $? "the dialog stays open after the box"
  pointer_to $((WIN_X + 100)) $((WIN_Y + 150)); xdotool key BackSpace BackSpace BackSpace
  xdotool type 12abc
  xdotool key Return
  sleep 0.5
  [ -z "$(find_windows '^Other General MIDI Instrument$')" ]; check $? "12abc is taken and ends the dialog"
  wait_window '^Tamborix - '
  pointer_to $((WIN_X + M_INSTR)) $((WIN_Y + 10)); xdotool click 1
  sleep 0.4
  CLIENT_X=$WIN_X; CLIENT_Y=$WIN_Y
  screenshot instruments
  others=$(dark_pixels $((M_INSTR - 36)) $((30 + 19 * 12 - 6)) 10 12)
  piano=$(dark_pixels $((M_INSTR - 36)) $((30 + 19 * 7 - 6)) 10 12)
  [ "$others" -gt 5 ] && [ "$piano" -eq 0 ]; check $? "the check mark moved from Piano to Others ($piano, $others)"
  xdotool key Escape
  sleep 0.3
  wait_window '^Tamborix - '
fi

# ---- save dialog: Ctrl+S on an untitled pattern, default extension, overwrite prompt
click "$(cell_x 3)" "$(row_y 30)" 1
key ctrl+s
SAVE=$(wait_for '^Save As$'); check $? "Ctrl+S on an untitled pattern opens the save dialog"
if [ -n "$SAVE" ]; then
  answer_box "$SAVE" ctrl+a
  xdotool type song
  xdotool key Return
  sleep 0.8
  [ -f "$TMPD/song.tbx" ] && [ "$(stat -c %s "$TMPD/song.tbx")" -eq 3540 ]; check $? "saved as song.tbx (3540 bytes)"
  wait_window '^Tamborix - song\.tbx$'
  menu_pick $M_FILE 4                    # "Save File as.."
  SAVE=$(wait_for '^Save As$'); check $? "Save File as.. opens the save dialog"
  if [ -n "$SAVE" ]; then
    answer_box "$SAVE" ctrl+a
    xdotool type song
    xdotool key Return
    sleep 0.5
    # the chooser hides on OK; the question has the dialog's caption and is smaller
    BOX=$(find_windows '^Save As$' | tail -1)
    bw=$(xdotool getwindowgeometry --shell "$BOX" 2>/dev/null | sed -n 's/^WIDTH=//p')
    [ -n "$BOX" ] && [ "${bw:-0}" -lt 400 ]; check $? "saving over song.tbx asks first (a box $bw pixels wide)"
    answer_box "$BOX" n
    [ -n "$(find_windows '^Save As$')" ]; check $? "No goes back to the dialog"
    answer_box "$(find_windows '^Save As$' | head -1)" Escape
    sleep 0.3
    [ -z "$(find_windows '^Save As$')" ]; check $? "Escape cancels the save dialog"
  fi
  wait_window '^Tamborix - song\.tbx$'
fi

# ---- open dialog: a name that does not exist asks whether to create it (".tbx" added)
menu_pick $M_FILE 1                      # "Load / Play / Edit File"
OPEN=$(wait_for '^Open$'); check $? "Load opens the open dialog"
if [ -n "$OPEN" ]; then
  ow=$(xdotool getwindowgeometry --shell "$OPEN" | sed -n 's/^WIDTH=//p')
  answer_box "$OPEN" ctrl+a
  xdotool type newfile
  xdotool key Return
  sleep 0.5
  BOX=$(find_windows '^Open$' | tail -1)
  bw=$(xdotool getwindowgeometry --shell "$BOX" 2>/dev/null | sed -n 's/^WIDTH=//p')
  [ -n "$BOX" ] && [ "${bw:-0}" -lt "$ow" ]; check $? "a missing file brings the create prompt ($bw pixels wide)"
  answer_box "$BOX" n
  answer_box "$(find_windows '^Open$' | head -1)" Escape
  sleep 0.3
  [ -z "$(find_windows '^Open$')" ] && [ ! -e "$TMPD/newfile.tbx" ]; check $? "No and Escape leave nothing behind"
  wait_window '^Tamborix - song\.tbx$'
fi

# ---- close with unsaved changes: Cancel keeps the window, No ends the program
click "$(cell_x 5)" "$(row_y 30)" 1
close_window "$WID"
BOX=$(wait_for '^Tamborix$'); check $? "closing with unsaved changes asks"
[ -n "$BOX" ] && answer_box "$BOX" Escape
sleep 0.3
kill -0 "$MAIN" 2>/dev/null && [ -n "$(find_windows '^Tamborix - ')" ]; check $? "Cancel keeps the window"
close_window "$WID"
BOX=$(wait_for '^Tamborix$'); check $? "closing again asks again"
[ -n "$BOX" ] && answer_box "$BOX" n
wait_exit "$MAIN" 10
[ "$EXIT_CODE" -eq 0 ]; check $? "No ends the program with 0 (got $EXIT_CODE)"
out=$(program_output 0); [ -z "$out" ]; check $? "nothing printed on the terminal: '$out'"
e2e_pass
