#!/usr/bin/env bash
# scripts/screenshot-linux.sh — retakes the README's screenshot: the Linux window after a search of busfinder-sim's line, under Xvfb.
# Usage: scripts/screenshot-linux.sh [output.png] [build-dir]   (defaults: docs/screenshot-linux.png, build/linux)
# Needs the linux preset's busfinder and busfinder-sim (built here when missing), Xvfb, xdotool, ImageMagick.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/lib.sh"
out="$(realpath -m "${1:-$root/docs/screenshot-linux.png}")"
build="$(realpath -m "${2:-$root/build/linux}")"

if [ ! -x "$build/app/busfinder" ] || [ ! -x "$build/sim/busfinder-sim" ]; then
  if [ "$build" != "$root/build/linux" ]; then
    echo "screenshot-linux.sh: no busfinder and busfinder-sim in $build" >&2
    exit 1
  fi
  (cd "$root" && cmake --preset linux >/dev/null && cmake --build --preset linux --target busfinder busfinder-sim)
fi

tmp="$(mktemp -d "${TMPDIR:-/tmp}/busfinder-shot.XXXXXX")"
pids=()
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do wait "${pids[i]}" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT

start_xvfb "$tmp" || { pids+=("$xvfb_pid"); exit 1; }
pids+=("$xvfb_pid")

# The simulator as COM1 in a ports folder of this run only.
export XDG_CONFIG_HOME="$tmp/config"
start_sim "$tmp" 10 "$build/sim/busfinder-sim" --devices 05,17,42 --com 1 --log "$tmp/line.log" || { pids+=("$sim_pid"); exit 1; }
pids+=("$sim_pid")

QT_QPA_PLATFORM=xcb "$build/app/busfinder" >"$tmp/app.log" 2>&1 &
pids+=($!)
wid="$(timeout 20 xdotool search --sync --onlyvisible --name 'Вилтар-2' | head -n1)"
[ -n "$wid" ] || { echo "the busfinder window did not appear" >&2; cat "$tmp/app.log" >&2; exit 1; }
sleep 0.5

# "Поиск" sits at 16,232 and is 361×25 (96 dpi, Xvfb's dpi): click its middle.
xdotool mousemove --window "$wid" 196 244 click 1
# The search is over once the last address, 99, went out (then the end text follows at once).
wait_for 60 grep -q '"byte":"99"' "$tmp/line.log" || { echo "the search did not end" >&2; exit 1; }
sleep 1
xdotool mousemove 0 0  # no pointer over the window

mkdir -p "$(dirname "$out")"
import -window "$wid" "$out"
echo "screenshot: $out"
