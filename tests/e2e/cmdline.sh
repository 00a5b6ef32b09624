#!/usr/bin/env bash
# The command line of the four windowed programs: --help and --version are answered on
# stdout with exit code 0 before anything else, so no display is needed (DISPLAY is unset
# here); output that cannot be written is a failure, not a success; any other first
# argument, "--" included, is not an option, and the program goes on to open its window
# (which fails here, without a display, with nothing on stdout).
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$BUILD/CMakeCache.txt")
[ -n "$VERSION" ] || die "no project version in $BUILD/CMakeCache.txt"

for steps in 144 128 96 72; do
  prog="$BUILD/tamborix$steps"
  [ -x "$prog" ] || { fail "missing $prog"; continue; }
  name="tamborix$steps"

  out=$(env -u DISPLAY -u WAYLAND_DISPLAY timeout 20 "$prog" --help 2>"$TMPD/err"); status=$?
  [ "$status" -eq 0 ]; check $? "$name --help exits 0 ($status)"
  [ "$(head -1 <<<"$out")" = "Usage: $name [FILE]" ]; check $? "$name --help starts with its usage: $(head -1 <<<"$out")"
  grep -q -- '--version' <<<"$out"; check $? "$name --help names --version"
  [ ! -s "$TMPD/err" ]; check $? "$name --help writes nothing on stderr: $(cat "$TMPD/err")"

  out=$(env -u DISPLAY -u WAYLAND_DISPLAY timeout 20 "$prog" --version 2>"$TMPD/err"); status=$?
  [ "$status" -eq 0 ]; check $? "$name --version exits 0 ($status)"
  [ "$out" = "$name $VERSION" ]; check $? "$name --version prints '$name $VERSION': '$out'"
  [ ! -s "$TMPD/err" ]; check $? "$name --version writes nothing on stderr: $(cat "$TMPD/err")"

  for opt in --help --version; do
    env -u DISPLAY timeout 20 "$prog" "$opt" >/dev/full 2>/dev/null; status=$?
    [ "$status" -ne 0 ]; check $? "$name $opt into a full device fails ($status)"
  done

  # A file name, not an option: the program tries to open its window and cannot.
  for args in "-- --help" "--helpx" "song.tbx --help"; do
    # shellcheck disable=SC2086  # the words are the arguments
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY timeout 20 "$prog" $args 2>/dev/null); status=$?
    [ "$status" -ne 0 ] && [ "$status" -ne 124 ] && [ -z "$out" ]
    check $? "$name $args is a file to load, not an option (status $status, stdout '$out')"
  done
done
e2e_pass
