#!/usr/bin/env bash
# Exports made by tamborix-cli are read by independent MIDI readers (python3-mido and
# midicsv) with the expected events, and FluidSynth renders them; failures end the command
# with a non-zero status, a message on stderr and no file. No display is needed.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
require_tools python3 midicsv
# python3-mido is Debian's package: the system interpreter has it even where another
# python3 comes first on PATH.
PY=python3
/usr/bin/python3 -c 'import mido' 2>/dev/null && PY=/usr/bin/python3
$PY -c 'import mido' 2>/dev/null || skip "python3-mido is not installed"

CLI="$(cd "$BUILD" && pwd)/tamborix-cli"
[ -x "$CLI" ] || die "missing $CLI"
cd "$TMPD" || die "no scratch folder"

# make_project FILE CELLS [LOOPEND]: a project file of the current layout with default
# settings; CELLS is a list of kind:step:row (kind p = percussion, v = instrument, or
# "dense" for every cell of every step).
make_project() {
  python3 - "$@" <<'EOF'
import struct, sys
path, cells = sys.argv[1], sys.argv[2]
loop_end = int(sys.argv[3]) if len(sys.argv) > 3 else 16
arrays = [[0] * 146 for _ in range(6)]  # PercL PercH VoiceL VoiceH VoiceXL VoiceXH
if cells == "dense":
    for a in range(4):
        arrays[a] = [0xFFFFFFFF] * 146
else:
    for cell in cells.split():
        kind, step, row = cell.split(":")
        step, row = int(step), int(row)
        a = (0 if kind == "p" else 2) + (1 if row >= 32 else 0)
        arrays[a][step] |= 1 << (row % 32)
head = b"TBRX" + struct.pack("<16h", 3540, 500, 2, 0, loop_end, 4, 0, 7, 3, 4, 12, 0, 0, 9, 0, 0)
body = b"".join(struct.pack("<146I", *arr) for arr in arrays)
open(path, "wb").write(head + body)
EOF
}

# mido_check FILE PYTHON-ASSERTIONS: reads FILE with mido (m = MidiFile, tracks = lists of
# messages) and runs the assertions.
mido_check() {
  $PY - "$1" "$2" <<'EOF'
import sys, mido
m = mido.MidiFile(sys.argv[1], clip=False)
names = [[x.name for x in t if x.type == "track_name"] for t in m.tracks]
ons = [[(x.note, x.velocity) for x in t if x.type == "note_on" and x.velocity > 0] for t in m.tracks]
exec(sys.argv[2])
EOF
}

# One pattern, format 0 with General MIDI: a kick on step 0, a note on step 2.
make_project a.tbx "p:0:2 v:2:10"
"$CLI" export a.tbx a.mid >out.txt 2>err.txt
check $? "export a.tbx"
grep -qx "MIDI file (Format0,GM active) generated. Size:$(stat -c %s a.mid) bytes" out.txt
check $? "the size report names the file's size"
mido_check a.mid '
assert m.type == 0 and m.ticks_per_beat == 384, (m.type, m.ticks_per_beat)
assert names == [["a.mid"]], names
assert ons == [[(35, 64), (44, 64)]], ons
assert any(x.type == "sysex" and list(x.data) == [0x7E, 0x7F, 0x09, 0x01] for x in m.tracks[0])
'
check $? "mido reads a.mid with its events"
midicsv a.mid >a.csv 2>csv.err
check $? "midicsv reads a.mid"
grep -q 'Note_on_c, 9, 35, 64' a.csv
check $? "midicsv finds the kick on channel 10"

# Format 1: instrument and percussion tracks.
"$CLI" export --steps 144 --format 1 a.tbx a_1.mid >/dev/null 2>err.txt
check $? "export --format 1"
mido_check a_1.mid '
assert m.type == 1 and len(m.tracks) == 2
assert names == [["Va_1.mid"], ["Pa_1.mid"]], names
assert ons == [[(44, 64)], [(35, 64)]], ons
'
check $? "mido reads the format 1 tracks"

# A playlist of relative entries (found beside the list), one name event per entry.
mkdir -p songs
make_project songs/one.tbx "p:0:5"
make_project songs/two.tbx "v:1:20"
printf 'one\r\n; a comment\r\ntwo.tbx\r\n' >songs/list.txt
"$CLI" export songs/list.txt list.mid >/dev/null 2>err.txt
check $? "export of a playlist"
mido_check list.mid '
assert names == [["list.mid", "one.TBX", "two.tbx"]], names
assert ons == [[(38, 64), (54, 64)]], ons
'
check $? "mido reads the playlist file"
"$CLI" export --format 1 songs/list.txt list_1.mid >/dev/null 2>err.txt
check $? "export of a playlist, format 1"
mido_check list_1.mid 'assert names == [["Vlist_1.mid"], ["Plist_1.mid"]], names'
check $? "mido reads the playlist file, format 1"

# The densest pattern and a track name longer than 127 bytes.
make_project dense.tbx dense 144
long=$(printf 'n%.0s' $(seq 1 150)).mid
"$CLI" export dense.tbx "$long" >/dev/null 2>err.txt
check $? "export of the densest pattern"
mido_check "$long" "
assert len(ons[0]) == 144 * 116, len(ons[0])
assert names == [['$long']], names
"
check $? "mido reads the densest pattern with its long name"
midicsv "$long" >/dev/null 2>csv.err
check $? "midicsv reads the densest pattern"

# FluidSynth renders an export.
SF2=/usr/share/sounds/sf2/default-GM.sf2
if command -v fluidsynth >/dev/null 2>&1 && [ -r "$SF2" ]; then
  fluidsynth -ni -F a.wav "$SF2" a.mid >/dev/null 2>&1
  [ -s a.wav ] && [ "$(stat -c %s a.wav)" -gt 10000 ]
  check $? "fluidsynth renders a.mid"
fi

# Failures: a status, a message, no file.
"$CLI" export missing.tbx m.mid >/dev/null 2>err.txt
[ $? -ne 0 ] && [ -s err.txt ] && [ ! -e m.mid ]
check $? "a missing project file fails"
printf 'one\r\nnothere\r\n' >songs/bad.txt
"$CLI" export songs/bad.txt bad.mid >/dev/null 2>err.txt
[ $? -ne 0 ] && grep -q 'nothere.TBX is missing' err.txt && [ ! -e bad.mid ]
check $? "a playlist with an unreadable entry fails without a file"
"$CLI" export a.tbx >/dev/null 2>&1
[ $? -ne 0 ]
check $? "a missing argument is a usage error"

e2e_pass
