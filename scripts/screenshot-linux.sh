#!/usr/bin/env bash
# scripts/screenshot-linux.sh — retakes the README's screenshot: the Linux window after a search of busfinder-sim's line, under Xvfb.
# Usage: scripts/screenshot-linux.sh [output.png] [build-dir]   (defaults: docs/screenshot-linux.png, build/linux)
# Needs the linux preset's busfinder and busfinder-sim (built here when missing), Xvfb, xdotool, ImageMagick.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
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

# wait_for SECONDS COMMAND...: polls the command every 0.1 s until it succeeds.
wait_for() {
  local tries=$(($1 * 10))
  shift
  until "$@"; do
    ((tries--)) || return 1
    sleep 0.1
  done
}

# A display of our own: Xvfb takes a free number and writes it to fd 3.
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
pids+=($!)
wait_for 10 test -s "$tmp/display" || { echo "Xvfb did not start" >&2; cat "$tmp/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$tmp/display")"

# The simulator as COM1 in a ports folder of this run only.
export XDG_CONFIG_HOME="$tmp/config"
"$build/sim/busfinder-sim" --devices 05,17,42 --com 1 --log "$tmp/line.log" >"$tmp/sim.out" 2>"$tmp/sim.err" &
pids+=($!)
wait_for 10 grep -q '^ready ' "$tmp/sim.out" || { echo "busfinder-sim did not start" >&2; cat "$tmp/sim.err" >&2; exit 1; }

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
