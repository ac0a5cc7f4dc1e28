#!/usr/bin/env bash
# scripts/test.sh — the README's test command: installs what it needs, builds both platforms, runs every test.
# Linux tests run natively (Qt offscreen); Windows tests run under Wine in a private, headless prefix.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash scripts/setup.sh

jobs="${BUSFINDER_JOBS:-$(nproc)}"
export QT_QPA_PLATFORM=offscreen

echo "== Linux build =="
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$jobs"
ctest --preset linux

echo "== Windows build (tests under Wine) =="
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
winetmp="$(mktemp -d /tmp/busfinder-wine.XXXXXX)"
export WINEPREFIX="$winetmp/prefix"
cleanup() { WINEPREFIX="$winetmp/prefix" wineserver -k 2>/dev/null || true; rm -rf "$winetmp"; }
trap cleanup EXIT
bash scripts/wine-prefix.sh "$WINEPREFIX" >/dev/null
ctest --preset windows

if [ -x scripts/test-extra.sh ]; then
  bash scripts/test-extra.sh
fi
