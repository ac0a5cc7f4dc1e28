#!/usr/bin/python3
# tests/e2e/e2e.py — end-to-end cases: busfinder-sim plays the line, LibUnit on the real serial layer scans it.
#
# Run by ctest (one case per entry) with Debian's /usr/bin/python3:
#   e2e.py --sim PATH --scan PATH [--wine-run PATH --wine-prefix-script PATH] CASE
# Linux cases reach the simulator as COMn through a private ports folder (XDG_CONFIG_HOME in a
# temporary folder); Wine cases map it as a Wine COM port in $WINEPREFIX (scripts/test.sh exports
# a private one; without it the prefix of scripts/wine-run is used).
import argparse
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import time

ADDRESSES = ["%d%d" % (t, u) for t in range(10) for u in range(10)]  # 00..99 as the scan sends them
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


class Sim:
    """One busfinder-sim run; the log is kept in the case's temporary folder."""

    def __init__(self, path, tmp, args, env, ready_timeout=120):
        self.log = os.path.join(tmp, "sim-%d.jsonl" % time.monotonic_ns())
        self.proc = subprocess.Popen([path, "--exit-with-parent", "--log", self.log] + args, env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.slave = None
        ready, _, _ = select.select([self.proc.stdout], [], [], ready_timeout)
        line = self.proc.stdout.readline() if ready else ""
        if line.startswith("ready "):
            self.slave = line.split(None, 1)[1].strip()
        else:
            self.proc.kill()
            _, err = self.proc.communicate()
            raise RuntimeError("busfinder-sim did not start: %r %s" % (line, err))

    def stop(self, sig=signal.SIGTERM, timeout=60):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            _, err = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            _, err = self.proc.communicate()
            err += "\n(killed: did not stop within %d s)" % timeout
        return self.proc.returncode, err

    def entries(self):
        with open(self.log) as f:
            return [json.loads(line) for line in f if line.strip()]


def run_scan(cmd, env, timeout=120):
    start = time.monotonic()
    try:
        out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                             timeout=timeout, env=env).stdout
    except subprocess.TimeoutExpired:
        return None, timeout
    fields = {}
    for token in out.split():
        key, _, value = token.partition("=")
        fields[key] = value
    return fields, time.monotonic() - start


def found_list(fields):
    return [a for a in fields.get("found", "").split(",") if a] if fields else None


def check_scan_log(entries, expect_found, found):
    """The line's view of a scan: 100 address bytes 00..99 in order, each at mark parity."""
    received = [e for e in entries if "byte" in e]
    check([e["byte"] for e in received] == ADDRESSES,
          "the line received exactly the 100 addresses in ascending order (got %d bytes)" % len(received))
    bad = [e["byte"] for e in received if e["parity"] != "mark"]
    check(not bad, "every address byte arrived at mark parity (not: %s)" % bad[:10])
    check(found == expect_found, "found %s, expected %s" % (",".join(found or []) or "nothing", ",".join(expect_found)))
    late = [e for e in entries if e.get("cause") == "reply"]
    if late:
        print("info: replies left the simulator at most %d us after their due time"
              % max(e["late_us"] for e in late))


def answered_in_time(entries, address):
    """Whether the model answered `address` with its own byte within the probe's 100 ms."""
    for e in entries:
        if e.get("byte") == address:
            return any(r["bytes"].split(",")[0] == address and r["delay_ms"] < 100 for r in e["answered"])
    return False


# The mixed line: normal devices, a late one, one that answers another byte, one that answers
# several bytes, one just inside the limit and one that answers only sometimes (seeded).
MIXED = ["--devices", "05,42", "--device", "17:delay=120", "--device", "23:reply=24",
         "--device", "68:reply=68,00,68", "--device", "91:delay=60", "--device", "09:prob=0.5", "--seed", "3"]


def mixed_expectation(entries):
    expect = ["05", "42", "68", "91"]
    if answered_in_time(entries, "09"):
        expect.append("09")
    return sorted(expect)


def case_cli(o, tmp):
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(tmp, "xdg"))
    # Bad options: exit 2, the message names the option, nothing started.
    bad = [(["--devices", "5"], "--devices"), (["--devices", "05,05"], "--devices"),
           (["--device", "42:delay=x"], "--device"), (["--device", "42:colour=red"], "--device"),
           (["--device", "42:prob=1.5"], "--device"), (["--device", "42:reply=4"], "--device"),
           (["--com", "100"], "--com"), (["--wine-com", "0"], "--wine-com"), (["--delay"], "--delay"),
           (["--noise", "-1"], "--noise"), (["--vanish-after-bytes", "0"], "--vanish-after-bytes"),
           (["--loopback=yes"], "--loopback"), (["--frobnicate"], "--frobnicate")]
    for args, option in bad:
        r = subprocess.run([o.sim] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                           timeout=10, env=env)
        check(r.returncode == 2 and option in r.stderr and "ready" not in r.stdout,
              "%s → exit 2 naming %s (got %d, %r)" % (" ".join(args), option, r.returncode, r.stderr.strip()))

    # --link and --com appear at `ready` and are gone after SIGTERM and after SIGINT.
    link = os.path.join(tmp, "port")
    com = os.path.join(tmp, "xdg", "busfinder", "ports", "COM3")
    for sig in (signal.SIGTERM, signal.SIGINT):
        sim = Sim(o.sim, tmp, ["--devices", "05", "--link", link, "--com", "3"], env)
        check(os.readlink(link) == sim.slave and os.readlink(com) == sim.slave,
              "--link and --com point at the slave %s" % sim.slave)
        if sig == signal.SIGTERM:
            # Bytes at space and at no parity are data: unanswered; the same byte at mark is an address.
            fields, _ = run_scan([o.scan, "3", "--data"], env, timeout=30)
            check(fields == {"space": "0", "none": "0", "mark": "1", "close": "1"},
                  "05 at space/none unanswered, at mark answered: %s" % fields)
            parities = [(e["byte"], e["parity"]) for e in sim.entries() if "byte" in e]
            check(parities == [("05", "space"), ("05", "none"), ("05", "mark")],
                  "the log shows the parity each byte arrived at: %s" % parities)
        rc, err = sim.stop(sig)
        check(rc == 0 and "summary" in err, "%s → exit 0 with a summary (%d, %r)" % (sig.name, rc, err.strip()))
        check(not os.path.lexists(link) and not os.path.lexists(com), "%s → link and ports entry removed" % sig.name)

    # A name that something else owns is never taken over; a dangling link of a killed run is.
    taken = os.path.join(tmp, "taken")
    with open(taken, "w") as f:
        f.write("keep")
    r = subprocess.run([o.sim, "--link", taken], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                       timeout=10, env=env)
    check(r.returncode == 1 and "--link" in r.stderr and open(taken).read() == "keep",
          "--link onto an existing file refused, file untouched (%d, %r)" % (r.returncode, r.stderr.strip()))
    stale = os.path.join(tmp, "stale")
    os.symlink("/dev/pts/99999", stale)
    sim = Sim(o.sim, tmp, ["--link", stale], env)
    check(os.readlink(stale) == sim.slave, "a dangling link left by a killed run is taken over")
    sim.stop()
    check(not os.path.lexists(stale), "and removed on exit")

    # Noise reaches the port; a timed vanish ends the run by itself and undoes the link.
    sim = Sim(o.sim, tmp, ["--noise", "500", "--vanish-after", "1", "--link", link], env)
    fd = os.open(link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    got = b""
    deadline = time.monotonic() + 0.5
    while time.monotonic() < deadline:
        if select.select([fd], [], [], 0.05)[0]:
            try:
                got += os.read(fd, 256)
            except OSError:
                break
    check(len(got) > 10, "noise at 500/s: %d random bytes in 0.5 s" % len(got))
    try:
        rc = sim.proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        rc = None
    os.close(fd)
    _, err = sim.stop()
    check(rc == 0 and "end=vanish" in err, "--vanish-after 1 ends the run by itself (%s, %r)" % (rc, err.strip()))
    check(not os.path.lexists(link), "the vanished line's link is removed")


def linux_env(tmp):
    return dict(os.environ, XDG_CONFIG_HOME=os.path.join(tmp, "xdg"))


def case_mixed(o, tmp):
    sim = Sim(o.sim, tmp, MIXED + ["--com", "7"], linux_env(tmp))
    fields, _ = run_scan([o.scan, "7"], linux_env(tmp))
    rc, _ = sim.stop()
    entries = sim.entries()
    check(fields is not None and fields.get("close") == "1", "the scan ran and closed the port: %s" % fields)
    check_scan_log(entries, mixed_expectation(entries), found_list(fields))
    late = [e for e in entries if e.get("sent") == "17"]
    check(len(late) == 1, "the late device did reply (after 120 ms), and was not counted")


def case_loopback(o, tmp):
    sim = Sim(o.sim, tmp, ["--loopback", "--com", "8"], linux_env(tmp))
    fields, _ = run_scan([o.scan, "8"], linux_env(tmp))
    sim.stop()
    check_scan_log(sim.entries(), ADDRESSES, found_list(fields))


def case_vanish(o, tmp):
    # The line goes away as the 50th address (49) arrives: 05 and 42 answered before, 77 never can.
    sim = Sim(o.sim, tmp, ["--devices", "05,42,77", "--vanish-after-bytes", "50", "--com", "9"], linux_env(tmp))
    fields, seconds = run_scan([o.scan, "9"], linux_env(tmp))
    try:
        rc = sim.proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        rc = None
    _, err = sim.stop()
    check(fields is not None, "the scan over a vanishing line ended (%.1f s)" % seconds)
    check(found_list(fields) == ["05", "42"], "only the devices that answered before: %s" % found_list(fields))
    check(rc == 0 and "end=vanish" in err, "the simulator ended with the line (%s, %r)" % (rc, err.strip()))
    check(not os.path.lexists(os.path.join(tmp, "xdg", "busfinder", "ports", "COM9")),
          "the ports entry of the vanished line is removed")


def wine_env(o):
    env = dict(os.environ)
    if not env.get("WINEPREFIX"):
        env["WINEPREFIX"] = os.path.join(env.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
                                         "busfinder", "wineprefix")
    env.setdefault("WINEDEBUG", "-all")
    if not os.path.exists(os.path.join(env["WINEPREFIX"], "system.reg")):
        subprocess.run(["bash", o.wine_prefix_script, env["WINEPREFIX"]], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return env


def wine_value(env, port):
    r = subprocess.run(["wine", "reg", "query", r"HKLM\Software\Wine\Ports", "/v", "COM%d" % port],
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
    return r.stdout if r.returncode == 0 and "REG_SZ" in r.stdout else None


def wine_case(o, tmp, port, sim_args, expect):
    env = wine_env(o)
    link = os.path.join(env["WINEPREFIX"], "dosdevices", "com%d" % port)
    sim = Sim(o.sim, tmp, sim_args + ["--wine-com", str(port)], env)
    check(os.path.realpath(link) == sim.slave, "Wine's com%d leads to the slave %s" % (port, sim.slave))
    fields, seconds = run_scan([o.wine_run, o.scan, str(port)], env, timeout=180)
    rc, err = sim.stop()
    entries = sim.entries()
    print("info: %s" % fields)
    check(fields is not None and fields.get("close") == "1", "the scan under Wine ran and closed the port")
    check_scan_log(entries, expect(entries), found_list(fields))
    check(rc == 0, "busfinder-sim stopped cleanly (%r)" % err.strip())
    check(not os.path.lexists(link) or os.path.realpath(link) != sim.slave, "Wine's com%d link removed" % port)
    return env


def case_wine_mixed(o, tmp):
    # Above 9: the scan opens \\.\COM10.
    env = wine_case(o, tmp, 10, MIXED, mixed_expectation)
    check(wine_value(env, 10) is None, "the Ports value COM10 is gone after the run")


def case_wine_loopback(o, tmp):
    wine_case(o, tmp, 3, ["--loopback"], lambda entries: ADDRESSES)


CASES = {"cli": case_cli, "mixed": case_mixed, "loopback": case_loopback, "vanish": case_vanish,
         "wine-mixed": case_wine_mixed, "wine-loopback": case_wine_loopback}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--scan", required=True)
    parser.add_argument("--wine-run")
    parser.add_argument("--wine-prefix-script")
    parser.add_argument("case", choices=sorted(CASES))
    o = parser.parse_args()
    if not os.access(o.sim, os.X_OK):
        print("FAIL busfinder-sim not found at %s (the Windows build drives the Linux build's simulator:"
              " build the Linux preset first, or set BUSFINDER_SIM)" % o.sim)
        return 1
    with tempfile.TemporaryDirectory(prefix="busfinder-e2e-") as tmp:
        CASES[o.case](o, tmp)
    print("%d failed" % len(failures) if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
