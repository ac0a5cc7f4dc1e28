#!/usr/bin/env bash
# scripts/test.sh — the README's test command: installs what it needs, builds both platforms, runs every test.
# Linux tests run natively (Qt offscreen); Windows tests run under Wine in a private, headless prefix.
# A build that fails stops the run; failing tests of one platform don't keep the other's from running,
# and the exit status is non-zero when any test failed.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash scripts/setup.sh

jobs="${BUSFINDER_JOBS:-$(nproc)}"
export QT_QPA_PLATFORM=offscreen
failed=()

echo "== Linux build =="
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$jobs"
# No test reads stdin; CI has none, so every run gets the same empty one.
ctest --preset linux </dev/null || failed+=(linux)

echo "== Windows build (tests under Wine) =="
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
winetmp="$(mktemp -d "${TMPDIR:-/tmp}/busfinder-wine.XXXXXX")"
export WINEPREFIX="$winetmp/prefix"
# Only this prefix's wineserver is stopped: other Wine sessions of the user are left alone.
cleanup() { WINEPREFIX="$winetmp/prefix" wineserver -k 2>/dev/null || true; rm -rf "$winetmp"; }
trap cleanup EXIT
echo "Preparing the Wine prefix $WINEPREFIX"
bash scripts/wine-prefix.sh "$WINEPREFIX" >/dev/null
# One prefix, one wineserver: the Windows tests run one at a time (some map COM ports in the
# prefix or restart its wineserver), whatever CTEST_PARALLEL_LEVEL says.
ctest --preset windows --parallel 1 </dev/null || failed+=(windows)

if [ -x scripts/test-extra.sh ]; then
  bash scripts/test-extra.sh </dev/null || failed+=(extra)
fi

if ((${#failed[@]})); then
  echo "FAILED: tests of ${failed[*]}" >&2
  exit 1
fi
echo "All tests passed."
