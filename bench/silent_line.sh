#!/usr/bin/env bash
# bench/silent_line.sh — times a 100-address scan over a silent pseudo-terminal line mapped as COM5 (wall vs CPU).
#
# Usage: bench/silent_line.sh [path/to/busfinder-scan] [--repeat K]
# A Python holder keeps the pty's master open and never reads or writes it: the line exists but no
# device answers, so each probe waits its full 100 ms. The port is reached through a private ports
# folder (XDG_CONFIG_HOME in a temporary directory). Prints busfinder-scan's line(s) and a summary.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
scan=${1:-}
if [[ -z "$scan" || "$scan" == --* ]]; then
  scan=""
  for candidate in "$here/../build/linux/bench/busfinder-scan" "$here/../build-h1/bench/busfinder-scan"; do
    [[ -x "$candidate" ]] && { scan=$candidate; break; }
  done
else
  shift
fi
[[ -n "$scan" && -x "$scan" ]] || { echo "busfinder-scan not found; build it or pass its path" >&2; exit 2; }
python=/usr/bin/python3
[[ -x "$python" ]] || python=python3

work=$(mktemp -d)
holder_pid=""
cleanup() {
  [[ -n "$holder_pid" ]] && kill "$holder_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The holder prints the slave's path, then waits silently until it is killed.
"$python" -c '
import os, signal, sys
master, slave = os.openpty()
print(os.ttyname(slave), flush=True)
os.close(slave)
signal.pause()
' >"$work/slave" &
holder_pid=$!
for _ in $(seq 100); do [[ -s "$work/slave" ]] && break; sleep 0.05; done
slave=$(head -n1 "$work/slave")
[[ -c "$slave" ]] || { echo "no pseudo-terminal from the holder" >&2; exit 1; }

mkdir -p "$work/busfinder/ports"
ln -s "$slave" "$work/busfinder/ports/COM5"

echo "silent line: $slave as COM5, holder pid $holder_pid"
out=$(XDG_CONFIG_HOME="$work" "$scan" --port 5 "$@")
echo "$out"
echo "$out" | awk '
  /^scan / { for (i = 2; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
             if (v["wall_s"] > 0) printf "run %s: wall %.3f s, cpu %.3f s (%.2f%% of wall)\n", v["run"], v["wall_s"], v["cpu_s"], 100 * v["cpu_s"] / v["wall_s"] }'
