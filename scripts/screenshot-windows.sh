#!/usr/bin/env bash
# scripts/screenshot-windows.sh — retakes the README's Windows screenshot: busfinder.exe under Wine after a search of busfinder-sim's line, under Xvfb.
# Usage: scripts/screenshot-windows.sh [output.png] [windows-build-dir] [linux-build-dir]
#   (defaults: docs/screenshot-windows.png, build/windows, build/linux; the presets are built here when
#   busfinder.exe, the driver program or busfinder-sim is missing). Needs Wine, Xvfb, xdotool, ImageMagick.
# Runs in a Wine prefix of its own with Wine's X11 driver (not the tests' null driver), drawing its
# own window frames since Xvfb has no window manager; the simulator plays devices 05, 17 and 42 on
# Wine's COM1, and the test driver program (tests/ui_win32) clicks «Поиск» and waits for the end.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/lib.sh"
out="$(realpath -m "${1:-$root/docs/screenshot-windows.png}")"
winbuild="$(realpath -m "${2:-$root/build/windows}")"
linbuild="$(realpath -m "${3:-$root/build/linux}")"
devices=05,17,42

exe="$winbuild/app/busfinder.exe"
driver="$winbuild/tests/ui_win32/busfinder_driver.exe"
sim="$linbuild/sim/busfinder-sim"
if [ ! -f "$exe" ] || [ ! -f "$driver" ]; then
  [ "$winbuild" = "$root/build/windows" ] || { echo "screenshot-windows.sh: no busfinder.exe and driver in $winbuild" >&2; exit 1; }
  (cd "$root" && cmake --preset windows >/dev/null && cmake --build --preset windows --target busfinder busfinder_driver)
fi
if [ ! -x "$sim" ]; then
  [ "$linbuild" = "$root/build/linux" ] || { echo "screenshot-windows.sh: no busfinder-sim in $linbuild" >&2; exit 1; }
  (cd "$root" && cmake --preset linux >/dev/null && cmake --build --preset linux --target busfinder-sim)
fi

tmp="$(mktemp -d "${TMPDIR:-/tmp}/busfinder-winshot.XXXXXX")"
export WINEPREFIX="$tmp/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
xvfb_pid="" sim_pid="" app_pid=""
cleanup() {
  # The simulator first: it takes its COM1 value out of the prefix and restarts its wineserver,
  # which also ends busfinder.exe. Then whatever is left of this prefix's Wine, then the display.
  [ -n "$sim_pid" ] && { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }
  [ -n "$app_pid" ] && { kill "$app_pid" 2>/dev/null || true; wait "$app_pid" 2>/dev/null || true; }
  [ -d "$WINEPREFIX" ] && { wineserver -k >/dev/null 2>&1 || true; }
  [ -n "$xvfb_pid" ] && { kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; }
  rm -rf "$tmp"
}
trap cleanup EXIT

start_xvfb "$tmp"

echo "Preparing a Wine prefix for the X display (takes a little while)..."
wineboot -i </dev/null >/dev/null 2>&1 || true
# No window manager on Xvfb: Wine draws the title bar and frame itself, as Windows would.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f </dev/null >/dev/null 2>&1
wine_fonts
wineserver -w >/dev/null 2>&1

start_sim "$tmp" 60 "$sim" --devices "$devices" --wine-com 1

# The simulator restarted the prefix's wineserver; start it here, with its chatter out of sight,
# before two programs race to start it.
wineserver -p >/dev/null 2>&1
wine "$exe" >"$tmp/app.log" 2>&1 &
app_pid=$!
# The driver types port 1, clicks «Поиск», waits for «Поиск завершен» and checks the list.
wine "$driver" --port 1 --devices "$devices" --keep-open --timeout 90

wid="$(timeout 20 xdotool search --sync --onlyvisible --name 'Вилтар-2' | head -n1)"
[ -n "$wid" ] || { echo "the busfinder window is not on the display" >&2; exit 1; }
xdotool mousemove 0 0 || true
sleep 1
mkdir -p "$(dirname "$out")"
import -window "$wid" "$out"
echo "screenshot: $out"
