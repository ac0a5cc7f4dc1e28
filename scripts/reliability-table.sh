#!/usr/bin/env bash
# scripts/reliability-table.sh — prints the reliability table (faults tried, searches run, false devices, hangs, leaks, descriptors) from the last ctest runs.
#
# Usage: scripts/reliability-table.sh [--run] [BUILD_DIR...]
#   BUILD_DIR  build folders whose last ctest log is read (default: build/linux, build/windows and
#              build/sanitize, those that exist)
#   --run      first runs the reliability tests (ctest -L reliability) in each folder; the Windows
#              folder needs WINEPREFIX set as scripts/test.sh sets it
#
# The test programs print `RELIABILITY area=… key=value…` lines; ctest keeps every test's output in
# Testing/Temporary/LastTest.log, which this reads together with each test's result. The fuzz
# target's count comes from libFuzzer's own `Done N runs` line.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

run=0
dirs=()
for arg in "$@"; do
  case "$arg" in
    --run) run=1 ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) dirs+=("$arg") ;;
  esac
done
if ((${#dirs[@]} == 0)); then
  for d in build/linux build/windows build/sanitize; do
    [ -d "$d" ] && dirs+=("$d")
  done
fi
if ((run)); then
  for d in "${dirs[@]}"; do
    ctest --test-dir "$d" -L reliability --parallel 1 </dev/null >/dev/null || true
  done
fi

/usr/bin/python3 - "${dirs[@]}" <<'EOF'
import os
import re
import sys

rows = []  # (build, area, fields, test, result)
for d in sys.argv[1:]:
    log = os.path.join(d, "Testing", "Temporary", "LastTest.log")
    build = os.path.basename(os.path.normpath(d))
    sanitized = False
    cache = os.path.join(d, "CMakeCache.txt")
    if os.path.exists(cache):
        sanitized = re.search(r"^BUSFINDER_SANITIZE:BOOL=ON$", open(cache).read(), re.M) is not None
    if sanitized:
        build += " (ASan+UBSan+LSan)"
    if not os.path.exists(log):
        print("note: no ctest log in %s" % d)
        continue
    test, pending = None, []
    for line in open(log, errors="replace"):
        m = re.match(r"^\d+/\d+ Testing: (\S+)", line)
        if m:
            test, pending = m.group(1), []
            continue
        if line.startswith("RELIABILITY "):
            fields = dict(t.partition("=")[::2] for t in line.split()[1:])
            pending.append((fields.pop("area", "?"), fields))
            continue
        m = re.match(r"^Done (\d+) runs in (\d+) second", line)
        if m and test and "fuzz" in test:
            pending.append(("fuzz", {"inputs": m.group(1), "seconds": m.group(2)}))
            continue
        if line.startswith("Test Passed.") or line.startswith("Test Failed."):
            result = "pass" if line.startswith("Test Passed.") else "FAIL"
            # A test without figures shows only where its pass is itself a finding: a reliability
            # program, or any program of a sanitizer build (no leak, no undefined behaviour).
            if not pending and test and ("reliability" in test or sanitized):
                pending.append(("(%s)" % test, {}))
            for area, fields in pending:
                rows.append((build, sanitized, area, fields, test, result))
            test, pending = None, []

if not rows:
    print("No RELIABILITY lines found: run the tests first (scripts/test.sh, or this script with --run).")
    sys.exit(0)

header = ["build", "area", "faults tried", "searches", "false devices", "hangs", "leaks", "descriptors", "result",
          "notes"]
table = []
totals = {"faults": 0, "searches": 0, "false": 0, "hangs": 0, "failed": 0}
shown = ("faults", "searches", "false_devices", "hangs", "leaks", "fd_start", "fd_end", "fd_peak", "inputs")
for build, sanitized, area, f, test, result in rows:
    if area == "noise":
        continue  # its rows are listed one by one (noise_row)
    faults = f.get("faults", "-")
    if "inputs" in f:
        faults = "%s inputs" % f["inputs"]
    leaks = f.get("leaks")
    if leaks == "-1":
        leaks = "n/a"
    elif leaks is None:
        leaks = ("0 (LSan at exit)" if result == "pass" else "see log") if sanitized else "-"
    fds = "-"
    if "fd_start" in f:
        fds = "%s->%s (peak %s)" % (f["fd_start"], f.get("fd_end", "?"), f.get("fd_peak", "?"))
    name = area if area != "noise_row" else "noise: " + f.pop("row", "?").replace("_", " ")
    notes = " ".join("%s=%s" % (k, v) for k, v in f.items() if k not in shown)
    table.append([build, name, faults, f.get("searches", "-"), f.get("false_devices", "-"), f.get("hangs", "-"),
                  leaks, fds, result, notes])
    if area != "noise_row":
        for key, total in (("faults", "faults"), ("searches", "searches"), ("false_devices", "false"),
                           ("hangs", "hangs")):
            if f.get(key, "").isdigit():
                totals[total] += int(f[key])
    if area == "noise_row":
        for key, total in (("searches", "searches"), ("false_devices", "false")):
            if f.get(key, "").isdigit():
                totals[total] += int(f[key])
    if result != "pass":
        totals["failed"] += 1

widths = [max(len(str(r[i])) for r in table + [header]) for i in range(len(header))]
line = "  ".join("-" * w for w in widths)
print("  ".join(h.ljust(w) for h, w in zip(header, widths)))
print(line)
for r in table:
    print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())
print(line)
print("total: %d faults tried, %d searches, %d false devices, %d hangs, %d failing rows"
      % (totals["faults"], totals["searches"], totals["false"], totals["hangs"], totals["failed"]))
print("False devices on noisy lines are stray bytes equal to the probed address (see 'unexplained', always 0):")
print("the one-byte echo can't tell them from a reply.")
EOF
