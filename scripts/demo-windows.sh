#!/usr/bin/env bash
# scripts/demo-windows.sh — the Windows demo: busfinder.exe under Wine on your display, searching busfinder-sim's virtual line as Wine's COM1.
# Usage: scripts/demo-windows.sh [windows-build-dir linux-build-dir]
# Installs what it needs, builds busfinder.exe (preset windows) and busfinder-sim (preset linux)
# unless build folders are given, makes a Wine prefix of this run only (your ~/.wine is not touched),
# starts the simulator with devices 05, 17 and 42 as COM1 of that prefix and opens the window.
# Closing the window stops the simulator and removes the prefix. Without a display the search is
# run under Xvfb instead and its screenshot saved.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/lib.sh
devices=05,17,42

if [ $# -ge 2 ]; then
  winbuild="$(realpath -m "$1")" linbuild="$(realpath -m "$2")"
else
  bash scripts/setup.sh
  echo "== Building busfinder.exe (preset windows) and busfinder-sim (preset linux) =="
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target busfinder busfinder_driver
  cmake --preset linux >/dev/null
  cmake --build --preset linux --target busfinder-sim
  winbuild="$root/build/windows" linbuild="$root/build/linux"
fi

if [ -z "${DISPLAY:-}" ]; then
  echo "No display (DISPLAY is not set): running the search under Xvfb and saving its screenshot instead."
  shot="$(mktemp -d "${TMPDIR:-/tmp}/busfinder-demo.XXXXXX")/busfinder-windows.png"
  bash scripts/screenshot-windows.sh "$shot" "$winbuild" "$linbuild"
  echo "Open $shot to see the window after the search, or run this script again on a desktop."
  exit 0
fi

tmp="$(mktemp -d "${TMPDIR:-/tmp}/busfinder-windemo.XXXXXX")"
export WINEPREFIX="$tmp/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
sim_pid=""
cleanup() {
  # The simulator takes its COM1 value out of the prefix; then the prefix's Wine ends and goes.
  [ -n "$sim_pid" ] && { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "Preparing a Wine prefix for this run (takes a little while)..."
wineboot -i </dev/null >/dev/null 2>&1 || true
wine_fonts
wineserver -w >/dev/null 2>&1

start_sim "$tmp" 60 "$linbuild/sim/busfinder-sim" --devices "$devices" --wine-com 1
# The simulator restarted the prefix's wineserver; start it again quietly.
wineserver -p >/dev/null 2>&1

echo "busfinder-sim plays devices 05, 17 and 42 on $(sed -n 's/^ready //p' "$tmp/sim.out") as Wine's COM1."
echo "In the window: port 1, press «Поиск». Close the window to end the demo."
wine "$winbuild/app/busfinder.exe" >"$tmp/app.log" 2>&1 || true
echo "Window closed; stopping busfinder-sim."
