#!/usr/bin/env bash
# Installs what Tamborix needs on Debian 12, only when something is missing:
#
#   scripts/setup.sh         building and running the Linux programs (scripts/run.sh)
#   scripts/setup.sh test    that and the test tools (scripts/test.sh): GoogleTest, the
#                            reference players, sound servers and MIDI readers, Xvfb and X
#                            tools for the end-to-end checks, mingw-w64 and Wine for the
#                            Windows build,
#                            clang for fuzzing, the desktop's validators for the install,
#                            debhelper for the Debian package
#
# libjack-jackd2-dev is in the run set, so JACK 2's library is installed before the test
# set's jackd2 (a JACK 1 libjack-dev pulled in some other way would be removed by it).
set -euo pipefail
RUN_PKGS=(
  build-essential cmake ninja-build pkg-config python3
  libfltk1.3-dev libx11-dev libfontconfig-dev libjack-jackd2-dev libasound2-dev libpulse-dev
  libfluidsynth-dev libglib2.0-dev liblo-dev
  timgm6mb-soundfont
)
TEST_PKGS=(
  libgtest-dev
  fluidsynth jackd2 pulseaudio pulseaudio-utils python3-mido python3-liblo midicsv
  xvfb xauth xdotool imagemagick x11-apps x11-utils
  desktop-file-utils appstream libxml2-utils shared-mime-info libglib2.0-bin groff-base
  debhelper
  mingw-w64 g++-mingw-w64-x86-64 wine wine64
  clang libclang-rt-14-dev
)
case "${1:-run}" in
  run) PKGS=("${RUN_PKGS[@]}") ;;
  test) PKGS=("${RUN_PKGS[@]}" "${TEST_PKGS[@]}") ;;
  *) echo "usage: scripts/setup.sh [run|test]" >&2; exit 2 ;;
esac
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
