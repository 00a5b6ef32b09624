#!/usr/bin/env bash
# The Windows build under Wine + Xvfb: Wine has no MIDI devices here, so tamborix144.exe
# must follow its own start-up path to "no MIDI OUT detected!" (a box captioned
# "Tamborix"), leave no main window, and end when the box is dismissed with Return.
# Skipped (exit 77) only when Wine is not installed. The Windows programs are looked for in
# TBX_WINDOWS_BUILD, else in the source tree's build/windows (scripts/test.sh builds them
# there before ctest runs).
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
WINE=$(command -v wine64 || command -v wine) || skip "wine is not installed"
EXE="${TBX_WINDOWS_BUILD:-$SRC/build/windows}/tamborix144.exe"
[ -f "$EXE" ] || die "missing $EXE (build the preset windows first)"
start_xvfb

# A throwaway prefix: Wine's first start (wineboot) takes 10..60 s and ~700 MB under /tmp.
export WINEPREFIX="$TMPD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
timeout 150 "$WINE" wineboot -i >"$TMPD/wineboot.log" 2>&1
[ $? -eq 0 ]; check $? "wineboot prepared the prefix"

start_program "$WINE" "$EXE"
WINEPID=$PID
box=""
for i in $(seq 1 600); do   # up to 60 s
  box=$(find_windows '^Tamborix$' | head -1)
  [ -n "$box" ] && break
  kill -0 "$WINEPID" 2>/dev/null || break
  sleep 0.1
done
[ -n "$box" ]; check $? "a box captioned 'Tamborix' appears"
if [ -n "$box" ]; then
  sleep 0.5
  window_geometry "$box"
  CLIENT_X=$WIN_X; CLIENT_Y=$WIN_Y
  screenshot box
  # the stop icon (MB_ICONHAND) is red; the box has some dark text
  red=$(count_pixels "$WIN_X" "$WIN_Y" "$WIN_W" "$WIN_H" 'r > 150 and g < 80 and b < 80')
  [ "$red" -gt 20 ]; check $? "the box shows the stop icon ($red red pixels)"
  n=$(dark_pixels 0 0 "$WIN_W" "$WIN_H"); [ "$n" -gt 30 ]; check $? "the box shows its text ($n dark pixels)"
  [ -z "$(find_windows '^Tamborix - ')" ]; check $? "no main window while the box is up"
  answer_box "$box" Return
fi
wait_exit "$WINEPID" 30
[ "$EXIT_CODE" -ne 124 ]; check $? "the program ends when the box is dismissed"
[ -z "$(find_windows '^Tamborix')" ]; check $? "no window is left behind"
"${WINE%64}server" -k >/dev/null 2>&1 || wineserver -k >/dev/null 2>&1
e2e_pass
