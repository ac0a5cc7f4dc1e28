#!/usr/bin/python3
# bench/scan/bench.py — scans busfinder-sim's line (devices 05 and 42) three ways and prints wall and CPU time against pyserial.
#
# Started by bench/scan/run.sh, which builds what is needed. The three ways:
#   pyserial   pyserial_scan.py (Debian's python3-serial) on the pty slave
#   linux      busfinder-scan of the Linux build, the port reached as COM5 through a private ports folder
#   wine       busfinder-scan.exe of the Windows build under Wine, the port mapped as COM5 in the prefix
# Times:
#   scan wall  open to close of the port, as each program measures it itself: the figure the targets
#              are about (interpreter and Wine start-up are not part of a search)
#   proc wall  fork to exit of the process
#   CPU        user + system of the process and the children it waited for (os.wait4); for Wine also
#              what the prefix's wineserver and its service processes (services.exe, winedevice.exe,
#              explorer.exe ...) used meanwhile, read from /proc: the server does the serial ioctls'
#              bookkeeping on the program's behalf, so leaving it out would flatter the Windows build.
#              The prefix is started before the timed run, so start-up of the prefix is not counted.
#   probe ms   median time from one silent address byte to the next as busfinder-sim saw them
#              arrive (its --log): the per-probe cost without the noise of a busy machine, where
#              pyserial's read(1) with a 0.1 s time-out sets the mark of about 100.3 ms
import argparse
import json
import os
import select
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEVICES = "05,42"
PORT = 5
TICK = os.sysconf("SC_CLK_TCK")


def start_sim(sim, args, env):
    log = os.path.join(tempfile.gettempdir(), "busfinder-bench-%d.jsonl" % os.getpid())
    proc = subprocess.Popen([sim, "--exit-with-parent", "--devices", DEVICES, "--log", log] + args, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if not select.select([proc.stdout], [], [], 120)[0]:
        proc.kill()
        sys.exit("busfinder-sim did not start")
    line = proc.stdout.readline()
    if not line.startswith("ready "):
        sys.exit("busfinder-sim did not start: %s %s" % (line, proc.stderr.read()))
    proc.log = log
    return proc, line.split()[1]


def stop_sim(proc):
    """Stops the simulator; returns the median time in ms from one silent address byte to the next."""
    proc.terminate()
    proc.communicate(timeout=60)
    with open(proc.log) as f:
        entries = [json.loads(line) for line in f if line.strip()]
    os.unlink(proc.log)
    received = [e for e in entries if "byte" in e]
    gaps = [(b["t"] - a["t"]) * 1000 for a, b in zip(received, received[1:]) if not a["answered"]]
    return statistics.median(gaps) if gaps else float("nan")


def timed(cmd, env):
    """Runs cmd; returns (fields printed, process wall s, CPU s of the process and its reaped children)."""
    start = time.monotonic()
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    fields = {}
    for token in out.split():
        key, _, value = token.partition("=")
        fields[key] = value
    if proc.returncode != 0 or "wall_s" not in fields:
        sys.exit("%s failed (%d): %s" % (" ".join(cmd), proc.returncode, out))
    return fields, wall, usage.ru_utime + usage.ru_stime


def prefix_cpu(prefix):
    """CPU seconds so far of every process running in the Wine prefix (wineserver and services)."""
    total = 0.0
    needle = ("WINEPREFIX=" + prefix).encode()
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if needle not in f.read().split(b"\0"):
                    continue
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += (int(fields[11]) + int(fields[12])) / TICK  # utime, stime
        except OSError:
            continue
    return total


def run_pyserial(o, tmp):
    env = dict(os.environ)
    sim, slave = start_sim(o.sim, [], env)
    result = timed(["/usr/bin/python3", os.path.join(HERE, "pyserial_scan.py"), slave], env)
    return result + (stop_sim(sim),)


def run_linux(o, tmp):
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(tmp, "xdg"))
    sim, _ = start_sim(o.sim, ["--com", str(PORT)], env)
    result = timed([o.scan, "--port", str(PORT)], env)
    return result + (stop_sim(sim),)


def run_wine(o, tmp):
    env = dict(os.environ, WINEPREFIX=o.wine_prefix, WINEDEBUG="-all")
    sim, _ = start_sim(o.sim, ["--wine-com", str(PORT)], env)
    # Start the prefix (wineserver, services) untimed; a bad-argument run exits at once.
    subprocess.run([o.wine_run, o.scan_exe], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    background = prefix_cpu(o.wine_prefix)
    fields, wall, cpu = timed([o.wine_run, o.scan_exe, "--port", str(PORT)], env)
    cpu += prefix_cpu(o.wine_prefix) - background
    return fields, wall, cpu, stop_sim(sim)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--scan", required=True, help="busfinder-scan of the Linux build")
    parser.add_argument("--scan-exe", required=True, help="busfinder-scan.exe of the Windows build")
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--wine-prefix", required=True)
    parser.add_argument("--runs", type=int, default=1)
    o = parser.parse_args()

    ways = [("pyserial", "pyserial (python3-serial)", run_pyserial),
            ("linux", "busfinder, Linux build", run_linux),
            ("wine", "busfinder, Windows build/Wine", run_wine)]
    results = {key: [] for key, _, _ in ways}
    with tempfile.TemporaryDirectory(prefix="busfinder-bench-") as tmp:
        for run in range(o.runs):
            for key, title, fn in ways:
                fields, wall, cpu, probe = fn(o, tmp)
                results[key].append((float(fields["wall_s"]), wall, cpu, fields.get("found", ""), probe))
                print("run %d %-8s found=%s scan_wall_s=%s proc_wall_s=%.3f cpu_s=%.3f silent_probe_ms=%.3f"
                      % (run + 1, key, fields.get("found", ""), fields["wall_s"], wall, cpu, probe), flush=True)

    def median(key, i):
        return statistics.median(r[i] for r in results[key])

    py_wall, py_cpu = median("pyserial", 0), median("pyserial", 2)
    print()
    print("Scan of 100 addresses, devices %s (median of %d run%s)" % (DEVICES, o.runs, "s" if o.runs > 1 else ""))
    print("%-30s %-7s %11s %11s %8s %9s %8s %9s" % ("way", "found", "scan wall s", "proc wall s", "CPU s",
                                                     "wall/py", "CPU/py", "probe ms"))
    for key, title, _ in ways:
        found = ",".join(sorted(set(r[3] for r in results[key])))
        print("%-30s %-7s %11.3f %11.3f %8.3f %9.4f %8.2f %9.3f"
              % (title, found, median(key, 0), median(key, 1), median(key, 2), median(key, 0) / py_wall,
                 median(key, 2) / py_cpu if py_cpu else 0, median(key, 4)))
    lw, lc, ww = median("linux", 0) / py_wall, median("linux", 2), median("wine", 0) / py_wall
    print()
    print("targets (shown, not asserted):")
    print("  Linux build: wall <= 1.01 x pyserial: %.4f %s; CPU <= pyserial's: %.3f vs %.3f %s"
          % (lw, "met" if lw <= 1.01 else "MISSED", lc, py_cpu, "met" if lc <= py_cpu else "MISSED"))
    print("  Windows build under Wine: wall <= 1.03 x pyserial: %.4f %s" % (ww, "met" if ww <= 1.03 else "MISSED"))
    print("wall ratios use the scan wall (open to close); CPU is of the whole process tree, start-up included;")
    print("probe ms: median time from a silent address byte to the next, as busfinder-sim saw them arrive")


if __name__ == "__main__":
    main()
