#!/usr/bin/env bash
# scripts/demo.sh — the README's first command: installs, builds the Linux program and opens its window on busfinder-sim's virtual line as COM1.
# The simulator gets devices 05, 17 and 42 and a ports folder of this run only (nothing of the
# user's is touched); closing the window stops the simulator. Without a display the search is run
# under Xvfb instead and its screenshot saved.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/lib.sh

bash scripts/setup.sh

echo "== Building busfinder and busfinder-sim (preset linux) =="
cmake --preset linux >/dev/null
cmake --build --preset linux --target busfinder busfinder-sim
build="$root/build/linux"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display (DISPLAY is not set): running the search under Xvfb and saving its screenshot instead."
  shot="$(mktemp -d "${TMPDIR:-/tmp}/busfinder-demo.XXXXXX")/busfinder.png"
  bash scripts/screenshot-linux.sh "$shot" "$build"
  echo "Open $shot to see the window after the search, or run this script again on a desktop."
  exit 0
fi

tmp="$(mktemp -d "${TMPDIR:-/tmp}/busfinder-demo.XXXXXX")"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# COM1 of this run: busfinder looks up $XDG_CONFIG_HOME/busfinder/ports/COM1, which the
# simulator links to its pseudo-terminal.
export XDG_CONFIG_HOME="$tmp/config"
start_sim "$tmp" 10 "$build/sim/busfinder-sim" --devices 05,17,42 --com 1

echo "busfinder-sim plays devices 05, 17 and 42 on $(sed -n 's/^ready //p' "$tmp/sim.out") as COM1."
echo "In the window: port 1, press «Поиск». Close the window to end the demo."
"$build/app/busfinder" || true
echo "Window closed; stopping busfinder-sim."
