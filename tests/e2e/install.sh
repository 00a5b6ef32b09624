#!/usr/bin/env bash
# `cmake --install` into a scratch prefix gives a desktop install that the desktop's own
# tools accept and use: the programs and the command line's helpers where the front end
# looks for them; launchers that desktop-file-validate passes, whose main one opens project
# files and whose window classes are the programs' real WM_CLASS (checked on the installed
# programs under Xvfb); a MIME package that xmllint and update-mime-database take and that
# GIO uses to recognise project files by name and by their "TBRX" magic; every icon size as
# a PNG of that size, and the SVG; AppStream metainfo that appstreamcli validates; man pages
# that groff formats without a warning; the licence; the Debian package's version.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
require_tools desktop-file-validate appstreamcli xmllint update-mime-database gio groff xprop

PREFIX=$TMPD/prefix
SHARE=$PREFIX/share
VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$BUILD/CMakeCache.txt")
PROGRAMS=(tamborix144 tamborix128 tamborix96 tamborix72)
cmake --install "$BUILD" --prefix "$PREFIX" >"$TMPD/install.log" 2>&1 \
  || die "cmake --install failed: $(tail -20 "$TMPD/install.log")"

# ---------------------------------------------------------------------- programs
for p in "${PROGRAMS[@]}" tamborix-cli; do
  [ -x "$PREFIX/bin/$p" ]; check $? "bin/$p is installed"
done
for steps in 144 128 96 72; do
  n=$("$PREFIX/bin/tamborix-cli" --steps $steps events --count 2 "$SRC/tests/fuzz/corpus/project/valid" 2>"$TMPD/err" | wc -l)
  [ "$n" -gt 0 ]; check $? "the installed tamborix-cli runs as the $steps-step program ($n events): $(cat "$TMPD/err")"
done
[ ! -e "$PREFIX/libexec" ]; check $? "nothing is installed in libexec"
out=$(env -u DISPLAY "$PREFIX/bin/tamborix72" --version); check $? "the installed tamborix72 answers --version"
[ "$out" = "tamborix72 $VERSION" ]; check $? "it is version $VERSION: $out"

# ---------------------------------------------------------------------- launchers
APPS=$SHARE/applications
for p in "${PROGRAMS[@]}"; do
  f=$APPS/$p.desktop
  [ -f "$f" ] || { fail "missing $f"; continue; }
  out=$(desktop-file-validate "$f" 2>&1); status=$?
  [ "$status" -eq 0 ] && [ -z "$out" ]; check $? "desktop-file-validate passes $p.desktop without a remark: $out"
  grep -qx "Exec=$p %f" "$f"; check $? "$p.desktop starts $p with the file"
  grep -qx "Icon=tamborix" "$f"; check $? "$p.desktop shows the theme icon 'tamborix'"
done
grep -qx "MimeType=application/x-tamborix-project;" "$APPS/tamborix144.desktop"
check $? "tamborix144.desktop declares the project file type"
! grep -q "^NoDisplay=true" "$APPS/tamborix144.desktop"; check $? "tamborix144.desktop is shown in menus"
for p in tamborix128 tamborix96 tamborix72; do
  grep -qx "Exec=$p" "$APPS/tamborix144.desktop"; check $? "tamborix144.desktop has an action that starts $p"
  grep -qx "NoDisplay=true" "$APPS/$p.desktop"; check $? "$p.desktop stays out of menus"
done

# ---------------------------------------------------------------------- MIME type
MIME=$SHARE/mime/packages/tamborix.xml
xmllint --noout "$MIME"; check $? "xmllint reads the MIME package"
[ -f "$SHARE/mime/mime.cache" ]; check $? "the install refreshed the prefix's MIME database"
rm -f "$SHARE/mime/mime.cache"
out=$(XDG_DATA_DIRS="$SHARE:/usr/share" update-mime-database "$SHARE/mime" 2>&1); status=$?
[ "$status" -eq 0 ] && [ -z "$out" ]; check $? "update-mime-database takes the package without a remark: $out"
# GIO in a clean environment that knows the prefix: project files by name (also the .TBX
# that playlists append), by magic without the name, and a text file stays text.
export XDG_DATA_HOME=$TMPD/xdg-data XDG_CONFIG_HOME=$TMPD/xdg-config XDG_DATA_DIRS="$SHARE:/usr/share"
mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$TMPD/files"
cp "$SRC/tests/fuzz/corpus/project/valid" "$TMPD/files/song.tbx"
cp "$SRC/tests/fuzz/corpus/project/valid" "$TMPD/files/SONG2.TBX"
cp "$SRC/tests/fuzz/corpus/project/valid" "$TMPD/files/song-without-extension"
echo "song.tbx" >"$TMPD/files/list.txt"
content_type() { gio info -a standard::content-type "$1" 2>/dev/null | sed -n 's/^ *standard::content-type: //p'; }
for f in song.tbx SONG2.TBX song-without-extension; do
  got=$(content_type "$TMPD/files/$f")
  [ "$got" = "application/x-tamborix-project" ]; check $? "GIO sees $f as a project file ($got)"
done
got=$(content_type "$TMPD/files/list.txt")
[ "$got" = "text/plain" ]; check $? "a playlist stays plain text ($got)"
default=$(PATH="$PREFIX/bin:$PATH" gio mime application/x-tamborix-project 2>/dev/null | head -1)
[[ "$default" == *": tamborix144.desktop" ]]; check $? "tamborix144 opens project files: $default"
unset XDG_DATA_HOME XDG_CONFIG_HOME XDG_DATA_DIRS

# ---------------------------------------------------------------------- icons
for size in 16 22 24 32 48 64 128 256; do
  png=$SHARE/icons/hicolor/${size}x${size}/apps/tamborix.png
  got=$(python3 - "$png" <<'EOF'
import struct, sys
data = open(sys.argv[1], 'rb').read()
assert data[:8] == b'\x89PNG\r\n\x1a\n' and data[12:16] == b'IHDR', 'not a PNG'
print('%dx%d' % struct.unpack('>II', data[16:24]))
EOF
  )
  [ "$got" = "${size}x${size}" ]; check $? "hicolor ${size}x${size} icon is a ${size}x${size} PNG ($got)"
done
SVG=$SHARE/icons/hicolor/scalable/apps/tamborix.svg
xmllint --noout "$SVG" && grep -q 'viewBox=' "$SVG"; check $? "the scalable icon is an SVG with a view box"

# ---------------------------------------------------------------------- AppStream
META=$(ls "$SHARE"/metainfo/*.metainfo.xml 2>/dev/null)
[ "$(wc -w <<<"$META")" -eq 1 ]; check $? "one metainfo file ($META)"
out=$(appstreamcli validate --no-net "$META" 2>&1); check $? "appstreamcli validate passes: $out"
out=$(appstreamcli validate-tree --no-net "$PREFIX" 2>&1); check $? "appstreamcli validate-tree passes the prefix: $out"
grep -q "<launchable type=\"desktop-id\">tamborix144.desktop</launchable>" "$META"; check $? "metainfo launches tamborix144.desktop"
grep -q "<release version=\"$VERSION\"" "$META"; check $? "metainfo lists release $VERSION"

# ---------------------------------------------------------------------- man pages, licence
MAN=$SHARE/man/man1
for page in tamborix144.1 tamborix-cli.1; do
  [ -f "$MAN/$page" ] || { fail "missing man page $page"; continue; }
  out=$(LC_ALL=C.UTF-8 groff -man -ww -z -Tutf8 "$MAN/$page" 2>&1); status=$?
  [ "$status" -eq 0 ] && [ -z "$out" ]; check $? "groff formats $page without a warning: $out"
  ! grep -q '@[A-Z_]*@' "$MAN/$page"; check $? "$page has every placeholder filled in"
done
for p in tamborix128 tamborix96 tamborix72; do
  [ "$(cat "$MAN/$p.1" 2>/dev/null)" = ".so man1/tamborix144.1" ]; check $? "$p.1 links to tamborix144.1"
done
cmp -s "$SRC/LICENSE" "$SHARE/doc/tamborix/LICENSE"; check $? "the licence is installed"
deb=$(sed -n '1s/^tamborix (\([^)-]*\).*/\1/p' "$SRC/debian/changelog")
[ "$deb" = "$VERSION" ]; check $? "the Debian package has the project's version ($deb, $VERSION)"

# ---------------------------------------------------------------------- window classes
# Each installed program's windows carry WM_CLASS (program, Program), and its launcher's
# StartupWMClass is the program.
start_xvfb
for p in "${PROGRAMS[@]}"; do
  start_tamborix "$PREFIX/bin/$p"
  got=$(xprop -id "$WID" WM_CLASS 2>&1)
  want="WM_CLASS(STRING) = \"$p\", \"${p^}\""
  [ "$got" = "$want" ]; check $? "$p's window class is $want: $got"
  wmclass=$(sed -n 's/^StartupWMClass=//p' "$APPS/$p.desktop")
  [ "$wmclass" = "$p" ]; check $? "$p.desktop names the window class $p: '$wmclass'"
  close_window "$WID"
  wait_exit "$PID" 10
  [ "$EXIT_CODE" -eq 0 ]; check $? "the installed $p ends with 0 when closed ($EXIT_CODE)"
  # The next program's first box shows where this one's was; `xdotool mousemove --sync`
  # to the point the pointer is already at waits for a motion that never comes.
  xdotool mousemove 0 0
done
e2e_pass
