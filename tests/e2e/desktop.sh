#!/usr/bin/env bash
# The real program as a desktop application under Xvfb, on a 3840 x 2160 screen of 192 dpi:
# - it draws itself at twice the size: the window is 2 x 1402 by 2 x 446 pixels, a cell is
#   16 x 16 pixels (14 x 14 of its colour inside a 2-pixel outline shared with its
#   neighbours), two cells of a column make the 16 x 32 pixels of the character cell, and
#   the About box is twice its size; a click lands on the doubled cell and the right arrow
#   puts the pointer on the next one's centre;
# - a project file dropped on the window (XDND, as a file manager drops it) is loaded after
#   the save question, a dropped .txt opens as a playlist, and both are remembered in the
#   settings file under $XDG_CONFIG_HOME; a dropped .mid is imported, with its report box,
#   as an untitled pattern;
# - a damaged settings file does not stop the program: it says so in one line on stderr and
#   loses nothing of it.
# Geometry at scale 2: character cell 16 x 32 pixels; cell (s, r) spans x (s + 26) * 16 ..
# + 18 and y ((48 - r) * 2 + 4) * 8 .. + 18.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
PROG="$BUILD/tamborix144"
[ -x "$PROG" ] || skip "missing $PROG"
require_tools cc
cc -O1 -o "$TMPD/xdnd_drop" "$SRC/tests/e2e/xdnd_drop.c" -lX11 || die "cannot build xdnd_drop"
cd "$TMPD" || die "no scratch folder"

# "my song.tbx": one percussion hit at step 10, row 22; list.txt plays the empty b.tbx.
python3 - <<'EOF'
import struct
head = b"TBRX" + struct.pack("<16h", 3540, 500, 2, 0, 144, 4, 0, 7, 3, 4, 12, 0, 0, 9, 0, 0)
perc_l = [0] * 146
perc_l[10] = 1 << 22
open("my song.tbx", "wb").write(head + struct.pack("<146I", *perc_l) + bytes(5 * 584))
open("b.tbx", "wb").write(head + bytes(6 * 584))
open("list.txt", "w").write("b.tbx\r\n")
# groove.mid: 120 BPM, a bass drum on every beat of a bar in sixteenths (a hi-hat on the second).
track = b"\x00\xff\x51\x03\x07\xa1\x20" + b"\x00\x99\x24\x64" + b"\x78\x2a\x50" + b"\x82\x68\x24\x64"
track += b"\x83\x60\x24\x64" * 2 + b"\x83\x60\xff\x2f\x00"
open("groove.mid", "wb").write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, 480) + b"MTrk" + struct.pack(">I", len(track)) + track)
EOF

unset TAMBORIX_SCALE
TBX_SCALE=2
start_xvfb 3840x2160 192
start_tamborix "$PROG"

# ---------------------------------------------------------------- twice the size
[ "$WIN_W" -eq 2804 ] && [ "$WIN_H" -eq 892 ]; check $? "the window is 2804 x 892 pixels ($WIN_W x $WIN_H)"
cell_left() { echo $((($1 + 26) * 16)); }
cell_top() { echo $((((48 - $1) * 2 + 4) * 8)); }
screenshot big
L=$(cell_left 1); T=$(cell_top 48)
n=$(count_pixels $((CLIENT_X + L + 2)) $((CLIENT_Y + T + 2)) 14 14 'r == 255 and g == 255 and b == 238')
[ "$n" -eq 196 ]; check $? "cell (1, 48) is 14 x 14 pixels of its colour inside ($n)"
n=$(count_pixels $((CLIENT_X + L)) $((CLIENT_Y + T)) 16 32 'r == 255 and g == 255 and b == 238')
m=$(count_pixels $((CLIENT_X + L)) $((CLIENT_Y + T)) 16 32 'r + g + b == 0')
[ "$n" -eq 392 ] && [ "$m" -eq 120 ]
check $? "the 16 x 32 character cell holds two such cells and their outlines ($n pale, $m black)"
n=$(count_pixels $((CLIENT_X + L + 16)) $((CLIENT_Y + T + 2)) 2 14 'r + g + b == 0')
[ "$n" -eq 28 ]; check $? "the outline between neighbours is 2 pixels wide ($n)"

X=$(($(cell_left 12) + 8)); Y=$(($(cell_top 20) + 8))
click "$X" "$Y" 1
screenshot clicked
n=$(count_pixels $((CLIENT_X + X - 6)) $((CLIENT_Y + Y - 6)) 14 14 'r == 255 and g == 0 and b == 102')
[ "$n" -eq 196 ]; check $? "a click sets cell (12, 20), shown with the cursor ($n)"
key Right
screenshot right
n=$(count_pixels $((CLIENT_X + X + 10)) $((CLIENT_Y + Y - 6)) 14 14 'r == 0 and g == 0 and b == 255')
[ "$n" -eq 196 ]; check $? "the right arrow moves the cursor to (13, 20) ($n)"
WANT="$((CLIENT_X + $(cell_left 13) + 8)),$((CLIENT_Y + $(cell_top 20) + 8))"
eval "$(xdotool getmouselocation --shell)"
[ "$X,$Y" = "$WANT" ]; check $? "and the pointer to its centre ($X,$Y, not $WANT)"

mapfile -t runs < <(title_runs)
read -r about_start about_end <<<"${runs[-1]}"
pointer_to $((WIN_X + (about_start + about_end) / 2)) $((WIN_Y + 20)); xdotool click 1   # "About"
wait_window '^About$' 5
[ "$WIN_W" -eq 812 ] && [ "$WIN_H" -eq 1196 ]; check $? "the About box is 812 x 1196 pixels ($WIN_W x $WIN_H)"
screenshot about
n=$(edge_ink "$WID"); [ "$n" -eq 0 ]; check $? "nothing of the About box is cut off by its edges ($n dark pixels there)"
answer_box "$WID" Return
wait_window '^Tamborix - ' 5

# Every other dialog at this scale: labels and buttons inside it (the file dialogs are
# FLTK's, laid out in pixels of a 96-dpi screen and scaled widget by widget).
# Pull-down items are 33 pixels apart at this scale, the first centred 57 pixels below the
# window's top.
pick() {   # pick TITLE-RUN ITEM
  read -r title_start _ <<<"${runs[$1]}"
  pointer_to $((WIN_X + title_start + 5)) $((WIN_Y + 20)); xdotool click 1
  sleep 0.5
  pointer_to $((WIN_X + title_start + 40)) $((WIN_Y + 57 + 33 * $2)); xdotool click 1
}
for dialog in "0 4 ^Save As$" "0 1 ^Open$" "6 12 ^Other General MIDI Instrument$"; do
  read -r title item name <<<"$dialog"
  pick "$title" "$item"
  if [ "$name" = '^Open$' ]; then   # the clicked cell is a change: the save question first
    wait_window '^Tamborix$' 5
    screenshot question
    n=$(edge_ink "$WID"); [ "$n" -eq 0 ]; check $? "nothing of the save question is cut off by its edges ($n)"
    answer_box "$WID" n
  fi
  wait_window "$name" 5
  screenshot dialog
  n=$(edge_ink "$WID"); [ "$n" -eq 0 ]; check $? "nothing of /$name/ is cut off by its edges ($n dark pixels there)"
  [ "$WIN_W" -ge 500 ]; check $? "/$name/ is drawn at the larger scale ($WIN_W pixels wide)"
  answer_box "$WID" Escape
  wait_window '^Tamborix - ' 5
done
click "$X" "$Y" 1   # a change again (No above dropped the first)

# ---------------------------------------------------------------- drag and drop
MAIN=$WID
"$TMPD/xdnd_drop" "$MAIN" $((CLIENT_X + 800)) $((CLIENT_Y + 400)) "$TMPD/my song.tbx"
check $? "the window takes a dropped project file"
wait_window '^Tamborix$' 5
[ "$(window_title "$WID")" = "Tamborix" ]; check $? "the click left a change: the save question comes first"
answer_box "$WID" n
wait_window '^Tamborix - ' 5
[ "$(window_title "$WID")" = "Tamborix - my song.tbx" ]; check $? "and loads it ($(window_title "$WID"))"
screenshot dropped
n=$(count_pixels $((CLIENT_X + $(cell_left 10) + 2)) $((CLIENT_Y + $(cell_top 22) + 2)) 14 14 'r == 187 and g == 0 and b == 187')
[ "$n" -eq 196 ]; check $? "its hit at (10, 22) is shown ($n)"

"$TMPD/xdnd_drop" "$WID" $((CLIENT_X + 800)) $((CLIENT_Y + 400)) "$TMPD/list.txt"
check $? "the window takes a dropped playlist"
sleep 0.5
[ "$(window_title "$WID")" = "Tamborix - b.tbx" ]; check $? "and opens it as a playlist ($(window_title "$WID"))"
settings="$XDG_CONFIG_HOME/tamborix/settings.conf"
grep -qx "recent.1=$TMPD/list.txt" "$settings" && grep -qx "recent.2=$TMPD/my song.tbx" "$settings"
check $? "both are remembered in $settings: $(grep recent "$settings" | tr '\n' ' ')"
"$TMPD/xdnd_drop" "$WID" $((CLIENT_X + 800)) $((CLIENT_Y + 400)) "$TMPD/groove.mid"
check $? "the window takes a dropped MIDI file"
wait_window '^groove.mid$' 5
grep -q . <<<"$WID"; check $? "its report box comes up"
answer_box "$WID" Return
wait_window '^Tamborix - ' 5
[ "$(window_title "$WID")" = "Tamborix - (Untitled)" ]; check $? "and it is imported untitled ($(window_title "$WID"))"
screenshot imported
n=$(count_pixels $((CLIENT_X + $(cell_left 4) + 2)) $((CLIENT_Y + $(cell_top 3) + 2)) 14 14 'r == 187 and g == 0 and b == 187')
[ "$n" -eq 196 ]; check $? "its bass drum on the second beat, step 4, is shown ($n)"
key ctrl+q
wait_window '^Tamborix$' 5
[ "$(window_title "$WID")" = "Tamborix" ]; check $? "the imported pattern is unsaved: the save question comes"
answer_box "$WID" n
wait_exit "$PID" 10
[ "$EXIT_CODE" -eq 0 ]; check $? "Ctrl+Q ends the program ($EXIT_CODE)"

# ---------------------------------------------------------------- a damaged settings file
printf 'recent.1=/a.tbx\nthis is not a setting\n' >"$settings"
start_tamborix "$PROG"
grep -q "settings file $settings is damaged (line 2); what cannot be read is left out" "$TMPD/err.$((${#E2E_PIDS[@]} - 1))"
check $? "a damaged settings file is named on stderr and the program starts"
grep -qx "recent.1=/a.tbx" "$settings" && grep -qx "this is not a setting" "$settings"
check $? "what it holds stays in it: $(tr '\n' ' ' <"$settings")"
kill "$PID" 2>/dev/null

e2e_pass
