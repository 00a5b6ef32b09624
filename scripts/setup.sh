#!/usr/bin/env bash
# Installs what building and testing Tamborix needs on Debian 12, only when something is
# missing.
set -euo pipefail
PKGS=(
  build-essential cmake ninja-build pkg-config
  libfltk1.3-dev libjack-jackd2-dev libasound2-dev libfluidsynth-dev
  timgm6mb-soundfont fluidsynth jackd2
  libgtest-dev
  mingw-w64 g++-mingw-w64-x86-64
  xvfb xauth xdotool imagemagick x11-apps x11-utils
  python3 python3-mido midicsv
  clang libclang-rt-14-dev
  wine wine64
)
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
