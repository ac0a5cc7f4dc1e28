#!/usr/bin/env bash
# bench/scan/run.sh — the scan benchmark: busfinder (Linux build, Windows build under Wine) against pyserial on busfinder-sim's line.
#
# Usage: bash bench/scan/run.sh [--runs N]
# Builds busfinder-sim and busfinder-scan in the Linux build and busfinder-scan.exe in the Windows
# build (build/linux and build/windows, or the folders in BUSFINDER_LINUX_BUILD and
# BUSFINDER_WINDOWS_BUILD), then scans a line with devices 05 and 42 three ways and prints a table
# of wall and CPU time with the ratios to pyserial (see bench.py for what is timed). Wine runs in
# $WINEPREFIX when set, else in a private prefix made for the run and removed after it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"
linux_build="${BUSFINDER_LINUX_BUILD:-build/linux}"
windows_build="${BUSFINDER_WINDOWS_BUILD:-build/windows}"
jobs="${BUSFINDER_JOBS:-2}"

configure() {  # dir preset [extra cmake args]
  local dir="$1" preset="$2"
  shift 2
  [ -f "$dir/CMakeCache.txt" ] && return 0
  if [ "$dir" = "build/$preset" ]; then
    cmake --preset "$preset" >/dev/null
  else
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  fi
}
configure "$linux_build" linux -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$linux_build" -j "$jobs" --target busfinder-sim busfinder-scan >/dev/null
configure "$windows_build" windows -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake"
cmake --build "$windows_build" -j "$jobs" --target busfinder-scan >/dev/null

/usr/bin/python3 -c 'import serial' 2>/dev/null || { echo "python3-serial is missing: run scripts/setup.sh" >&2; exit 1; }

if [ -n "${WINEPREFIX:-}" ]; then
  prefix="$WINEPREFIX"
  [ -f "$prefix/system.reg" ] || bash scripts/wine-prefix.sh "$prefix" >/dev/null
else
  tmp="$(mktemp -d /tmp/busfinder-bench-wine.XXXXXX)"
  prefix="$tmp/prefix"
  cleanup() { WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; rm -rf "$tmp"; }
  trap cleanup EXIT
  echo "preparing a private Wine prefix ..." >&2
  bash scripts/wine-prefix.sh "$prefix" >/dev/null
fi

/usr/bin/python3 bench/scan/bench.py \
  --sim "$linux_build/sim/busfinder-sim" \
  --scan "$linux_build/bench/busfinder-scan" \
  --scan-exe "$windows_build/bench/busfinder-scan.exe" \
  --wine-run "$root/scripts/wine-run" \
  --wine-prefix "$prefix" "$@"
