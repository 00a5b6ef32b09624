#!/usr/bin/env bash
# Project files on the real program under Xvfb: a project named on the command line is
# loaded and shown (caption and cells); a click sets a cell; Ctrl+S writes it into the file
# and keeps the file as it was loaded in the .BAK beside it.
# Geometry: character cell 8 x 16 pixels; cell (s, r) spans x (s + 26) * 8 .. + 8 and
# y ((48 - r) * 2 + 4) * 4 .. + 8.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
PROG="$BUILD/tamborix144"
[ -x "$PROG" ] || skip "missing $PROG"
cd "$TMPD" || die "no scratch folder"

# song.tbx: a new pattern's settings with one percussion hit at step 10, row 20.
python3 - <<'EOF'
import struct
head = b"TBRX" + struct.pack("<16h", 3540, 500, 2, 0, 144, 4, 0, 7, 3, 4, 12, 0, 0, 9, 0, 0)
perc_l = [0] * 146
perc_l[10] = 1 << 20
body = struct.pack("<146I", *perc_l) + bytes(5 * 584)
open("song.tbx", "wb").write(head + body)
EOF
cp song.tbx original.tbx

cell_x() { echo $((($1 + 26) * 8 + 4)); }
cell_y() { echo $(((48 - $1) * 8 + 20)); }

start_xvfb
start_tamborix "$PROG" song.tbx
[ "$(window_title "$WID")" = "Tamborix - song.tbx" ]
check $? "the caption names the file from the command line ($(window_title "$WID"))"

screenshot loaded
pixel_is "$(cell_x 10)" "$(cell_y 20)" 187 0 187 "the loaded hit at (10, 20) is shown"
pixel_is "$(cell_x 13)" "$(cell_y 20)" 255 255 238 "cell (13, 20) starts empty"

click "$(cell_x 13)" "$(cell_y 20)" 1
screenshot clicked
pixel_is "$(cell_x 13)" "$(cell_y 20)" 255 0 102 "the click sets (13, 20)"

key ctrl+s
for i in $(seq 1 30); do [ -e song.BAK ] && break; sleep 0.1; done
sleep 0.3

cmp -s song.BAK original.tbx
check $? "song.BAK holds the file as it was loaded"
python3 - <<'EOF'
import struct, sys
data = open("song.tbx", "rb").read()
assert len(data) == 3540, len(data)
perc_l = struct.unpack_from("<146I", data, 36)
assert perc_l[10] == 1 << 20 and perc_l[13] == 1 << 20, (hex(perc_l[10]), hex(perc_l[13]))
assert sum(1 for w in perc_l if w) == 2
EOF
check $? "song.tbx now holds the clicked cell beside the loaded one"

e2e_pass
