#!/usr/bin/env bash
# The Debian package: dpkg-buildpackage builds it from a copy of the source (its build
# dependencies checked), and the .deb unpacked into a scratch folder holds the programs, the
# command line and the desktop files, and depends on a General MIDI soundfont; its
# tamborix144 opens its window under Xvfb.
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
require_tools dpkg-buildpackage dpkg-deb dh

# Outside the source tree: dpkg-buildpackage writes the package beside the folder it builds.
mkdir -p "$TMPD/pkg/tamborix"
tar -C "$SRC" --exclude=./build --exclude=./.git -cf - . | tar -C "$TMPD/pkg/tamborix" -xf -
(cd "$TMPD/pkg/tamborix" && DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -us -uc -b) \
  >"$TMPD/build.log" 2>&1 || die "dpkg-buildpackage failed: $(tail -30 "$TMPD/build.log")"
DEB=$(ls "$TMPD"/pkg/tamborix_*_*.deb 2>/dev/null | head -1)
[ -n "$DEB" ] || die "no .deb was built"

depends=$(dpkg-deb -f "$DEB" Depends)
grep -q "sf2-soundfont-gm" <<<"$depends"; check $? "the package depends on a GM soundfont: $depends"
! grep -qi "rtmidi" <<<"$depends"; check $? "and not on RtMidi: $depends"

ROOT=$TMPD/root
dpkg-deb -x "$DEB" "$ROOT" || die "dpkg-deb cannot unpack $DEB"
for p in tamborix144 tamborix128 tamborix96 tamborix72 tamborix-cli; do
  [ -x "$ROOT/usr/bin/$p" ]; check $? "usr/bin/$p is in the package"
done
for f in usr/share/applications/tamborix144.desktop usr/share/mime/packages/tamborix.xml \
         usr/share/icons/hicolor/scalable/apps/tamborix.svg usr/share/man/man1/tamborix144.1.gz \
         usr/share/metainfo/org.tamborix.Tamborix.metainfo.xml usr/share/doc/tamborix/copyright; do
  [ -f "$ROOT/$f" ]; check $? "$f is in the package"
done
n=$("$ROOT/usr/bin/tamborix-cli" --steps 96 events --count 2 "$SRC/tests/fuzz/corpus/project/valid" 2>"$TMPD/err" | wc -l)
[ "$n" -gt 0 ]; check $? "the packaged tamborix-cli runs as the 96-step program ($n events): $(cat "$TMPD/err")"
[ ! -e "$ROOT/usr/libexec" ]; check $? "nothing is installed in usr/libexec"

start_xvfb
start_tamborix "$ROOT/usr/bin/tamborix144"
[ -n "$WID" ]; check $? "the packaged tamborix144 opens its window ($(window_title "$WID"))"
close_window "$WID"
wait_exit "$PID" 10
[ "$EXIT_CODE" -eq 0 ]; check $? "and ends when it is closed (exit $EXIT_CODE)"
e2e_pass
