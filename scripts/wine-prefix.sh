#!/usr/bin/env bash
# scripts/wine-prefix.sh — prepares a headless Wine prefix: wineboot, then the null display driver.
# Usage: wine-prefix.sh DIR   (prints DIR). Windows work without X through Wine's null driver.
set -euo pipefail
prefix="${1:?usage: wine-prefix.sh DIR}"
mkdir -p "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all
# No Wine Mono or Gecko: none of our programs uses .NET or HTML, Debian doesn't package them, and
# without this wineboot would offer to download them (a dialog that a headless run can't answer).
export WINEDLLOVERRIDES="mscoree=;mshtml="
# Some Wine helpers complain about a missing 32-bit part; the 64-bit programs don't need it.
wineboot -i </dev/null >/dev/null 2>&1 || true
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
wineserver -w
[ -f "$prefix/system.reg" ] || { echo "wine-prefix.sh: wineboot did not create $prefix" >&2; exit 1; }
echo "$prefix"
