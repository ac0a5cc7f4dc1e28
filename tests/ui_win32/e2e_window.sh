#!/usr/bin/env bash
# tests/ui_win32/e2e_window.sh — busfinder.exe under Wine against busfinder-sim mapped as COM12, checked by the driver program.
#
# Usage: e2e_window.sh SIM WINE_RUN BUSFINDER_EXE DRIVER_EXE
# Starts the simulator with two devices as Wine's COM12 (a port above 9, reached as \\.\COM12), waits
# for its `ready` line, starts busfinder.exe, and lets the driver search and compare the list. The
# driver closes the window at the end; the simulator is stopped, which removes the COM12 mapping.
set -euo pipefail
sim="${1:?usage: e2e_window.sh SIM WINE_RUN BUSFINDER_EXE DRIVER_EXE}"
wine_run="${2:?}"
program="${3:?}"
driver="${4:?}"
port=12
devices=05,42

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# The same prefix wine-run uses; the simulator writes its Ports value into $WINEPREFIX.
if [ -z "${WINEPREFIX:-}" ]; then
  export WINEPREFIX="${XDG_CACHE_HOME:-$HOME/.cache}/busfinder/wineprefix"
fi
[ -f "$WINEPREFIX/system.reg" ] || "$here/../../scripts/wine-prefix.sh" "$WINEPREFIX" >/dev/null
export WINEDEBUG="${WINEDEBUG:--all}"

work="$(mktemp -d /tmp/busfinder-e2e-win.XXXXXX)"
sim_pid="" program_pid=""
cleanup() {
  [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null || true
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

mkfifo "$work/sim.out"
"$sim" --devices "$devices" --wine-com "$port" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
exec 3<"$work/sim.out"
if ! read -r -t 60 ready slave <&3 || [ "$ready" != ready ]; then
  echo "e2e_window: busfinder-sim did not get ready" >&2
  cat "$work/sim.err" >&2 || true
  exit 1
fi
echo "e2e_window: busfinder-sim ready on $slave as COM$port"

"$wine_run" "$program" &
program_pid=$!

status=0
"$wine_run" "$driver" --port "$port" --devices "$devices" --timeout 120 || status=$?

# The driver closed the window; the program ends by itself.
for _ in $(seq 1 100); do
  kill -0 "$program_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$program_pid" 2>/dev/null; then
  echo "e2e_window: busfinder.exe did not end after its window was closed" >&2
  status=1
else
  wait "$program_pid" || true
  program_pid=""
fi
exit "$status"
