#!/usr/bin/env bash
# scripts/setup.sh — installs every build, test and demo dependency of busfinder from Debian's packages (idempotent).
set -euo pipefail
PKGS=(
  build-essential cmake ninja-build pkg-config git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64
  xvfb xdotool imagemagick x11-utils
  python3 python3-serial
  clang libclang-rt-14-dev
  util-linux procps psmisc
  fonts-dejavu-core fonts-wine
)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The Windows build must link the static C++ runtime; the posix-thread flavour of MinGW
# carries std::thread support that the win32 flavour lacks.
if command -v update-alternatives >/dev/null && [ -e /usr/bin/x86_64-w64-mingw32-g++-posix ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO update-alternatives --set x86_64-w64-mingw32-g++ /usr/bin/x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || true
  $SUDO update-alternatives --set x86_64-w64-mingw32-gcc /usr/bin/x86_64-w64-mingw32-gcc-posix >/dev/null 2>&1 || true
fi
