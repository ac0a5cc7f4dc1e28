#!/usr/bin/python3
# tests/reliability/wine_vanish.py — the line vanishing under Wine: busfinder-scan.exe (kernel32 layer) against busfinder-sim at the start, middle and end of a search.
#
#   wine_vanish.py --sim PATH --scan PATH.exe --wine-run PATH --wine-prefix-script PATH
#
# Each case: the simulator's line goes away as address byte N arrives; the scan (two searches in
# one process, --repeat 2) must end its first search in about ten seconds without keeping a core
# busy, list only the devices that answered before, and fail to open the port for the second.
#
# The port is reached through the link $WINEPREFIX/dosdevices/com42, made by the simulator's
# --link, not through --wine-com: a COM port made from a Ports value stays known to the running
# prefix after the value and the link are gone, so an unplug would not show on the next open.
# Wine resolves the bare link at every open, so no restart is needed; COM42 has no host device
# Wine's mount manager could number onto it.
import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from e2e import Sim, wine_env  # noqa: E402  (the end-to-end driver's simulator runner)

PORT = 42
DEVICES = ["05", "42", "77", "99"]
HANG_S = 60.0      # safety net: a search takes about ten seconds
SPIN_SHARE = 0.5   # a wait that keeps the core busy half the time spins
CASES = [("start", 1, []), ("middle", 50, ["05", "42"]), ("end", 100, ["05", "42", "77"])]
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def scan_lines(text):
    runs = {}
    for line in text.splitlines():
        fields = dict(token.partition("=")[::2] for token in line.split()[1:])
        if line.startswith("scan ") and "run" in fields:
            runs[fields["run"]] = fields
    return runs


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--scan", required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--wine-prefix-script", required=True)
    o = parser.parse_args()
    if not os.access(o.sim, os.X_OK):
        print("FAIL busfinder-sim not found at %s (build the Linux preset first, or set BUSFINDER_SIM)" % o.sim)
        return 1
    env = wine_env(o)
    link = os.path.join(env["WINEPREFIX"], "dosdevices", "com%d" % PORT)
    searches = hangs = spins = false_devices = 0
    worst_share = 0.0
    with tempfile.TemporaryDirectory(prefix="busfinder-wine-vanish-") as tmp:
        for where, after, expected in CASES:
            sim = Sim(o.sim, tmp, ["--devices", ",".join(DEVICES), "--vanish-after-bytes", str(after),
                                   "--link", link], env)
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            start = time.monotonic()
            try:
                out = subprocess.run([o.wine_run, o.scan, "--port", str(PORT), "--repeat", "2"], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                     timeout=HANG_S * 2).stdout
            except subprocess.TimeoutExpired:
                out = ""
                hangs += 1
            wall = time.monotonic() - start
            after_usage = resource.getrusage(resource.RUSAGE_CHILDREN)
            process_cpu = (after_usage.ru_utime - before.ru_utime) + (after_usage.ru_stime - before.ru_stime)
            sim.stop()
            runs = scan_lines(out)
            first, second = runs.get("1", {}), runs.get("2", {})
            found = [a for a in first.get("found", "").split(",") if a]
            searches += 1 + (1 if second else 0)
            false_devices += len([a for a in found if a not in DEVICES])
            search_wall = float(first.get("wall_s", "nan"))
            search_cpu = float(first.get("cpu_s", "nan"))
            share = search_cpu / search_wall if search_wall > 0 else 1.0
            worst_share = max(worst_share, share)
            print("info: vanish at %-6s: search wall %.2f s, cpu %.3f s (%.1f%%); whole Wine process %.2f s wall,"
                  " %.2f s cpu" % (where, search_wall, search_cpu, 100 * share, wall, process_cpu), flush=True)
            check("found" in first, "%s: the first search ended (%r)" % (where, out.strip()))
            check(found == expected, "%s: found %s, expected %s" % (where, ",".join(found) or "nothing",
                                                                   ",".join(expected) or "nothing"))
            if search_wall > HANG_S:
                hangs += 1
            check(search_wall < HANG_S, "%s: the search ended within %.0f s" % (where, HANG_S))
            if share >= SPIN_SHARE:
                spins += 1
            check(share < SPIN_SHARE, "%s: no busy spin (cpu %.1f%% of wall)" % (where, 100 * share))
            check(second.get("error") == "open", "%s: the next search can't open the port: %s" % (where, second))
            check(not os.path.lexists(link), "%s: the simulator's link is gone" % where)
    print("RELIABILITY area=unplug_wine faults=%d searches=%d false_devices=%d hangs=%d spins=%d max_cpu_share=%.4f"
          % (len(CASES), searches, false_devices, hangs, spins, worst_share), flush=True)
    print("%d failed" % len(failures) if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
