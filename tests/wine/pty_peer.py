#!/usr/bin/python3
# tests/wine/pty_peer.py — maps two pseudo-terminals as COM3 and COM10 in the Wine prefix, runs a Windows test program under Wine and plays a device on each line.
#
# Usage: pty_peer.py WINE_RUN PROGRAM
#   WINE_RUN  the emulator script (scripts/wine-run) that runs PROGRAM in the prefix of WINEPREFIX
#
# Run with Debian's /usr/bin/python3: it needs nothing beyond pty, termios and os.
#
# The mapping. Wine finds a COM port through the symbolic link $WINEPREFIX/dosdevices/comN and
# resolves that link at every open, so a link made now takes effect at once, without restarting
# wineserver (a restart would also kill every other Wine process of the prefix). Wine's mount
# manager rewrites the links only when it starts, from HKLM\Software\Wine\Ports and from the host's
# serial devices (/dev/ttyS*, ttyUSB*, ttyACM*, numbered from COM1 upwards): the registry value makes
# a start in the middle of the test map the same pty, and it also keeps a host port from being
# numbered onto our COM3. Both are removed again at the end.
#
# The devices. Each line answers one bus address (COM3: 0x03, COM10: 0x10), echoing it only when
# the byte arrived while the line was at mark parity: CMSPAR|PARODD in the settings the master
# reports (a Linux pty drops PARENB but keeps CMSPAR and PARODD). A query byte 0xA5 is answered
# with the peer's view of the line, so the Windows side can check what reached the line.
import os
import select
import subprocess
import sys
import tempfile
import termios
import threading
import tty

CMSPAR = getattr(termios, "CMSPAR", 0o10000000000)  # older Python modules lack the name
QUERY = 0xA5
VIEW_CMSPAR, VIEW_PARODD, VIEW_115200, VIEW_CSTOPB = 0x01, 0x02, 0x04, 0x08
DEVICES = {3: 0x03, 10: 0x10}  # COM number -> the bus address the device on that line answers
RUN_LIMIT_S = 240  # safety net only: the program normally ends within seconds


def line_view(master):
    attrs = termios.tcgetattr(master)
    cflag, ospeed = attrs[2], attrs[5]
    view = 0x80  # never a zero byte
    if cflag & CMSPAR:
        view |= VIEW_CMSPAR
    if cflag & termios.PARODD:
        view |= VIEW_PARODD
    if ospeed == termios.B115200:
        view |= VIEW_115200
    if cflag & termios.CSTOPB:
        view |= VIEW_CSTOPB
    return view


class Peer(threading.Thread):
    """Plays the devices: reads each master and answers as described above."""

    def __init__(self, lines):
        super().__init__(daemon=True)
        self.lines = lines  # master fd -> address
        self.stop_r, self.stop_w = os.pipe()
        self.error = None

    def run(self):
        try:
            while True:
                ready, _, _ = select.select(list(self.lines) + [self.stop_r], [], [])
                if self.stop_r in ready:
                    return
                for master in ready:
                    for byte in os.read(master, 256):
                        view = line_view(master)  # the settings the byte was sent with
                        if byte == QUERY:
                            os.write(master, bytes([view]))
                        elif byte == self.lines[master] and view & VIEW_CMSPAR and view & VIEW_PARODD:
                            os.write(master, bytes([byte]))
        except Exception as e:  # reported by the main thread as a failure
            self.error = e

    def stop(self):
        os.write(self.stop_w, b"x")
        self.join(5)


def wine_prefix():
    # The same default as scripts/wine-run.
    prefix = os.environ.get("WINEPREFIX")
    if not prefix:
        cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.environ["HOME"], ".cache")
        prefix = os.path.join(cache, "busfinder", "wineprefix")
    return prefix


def import_ports(wine_run, values):
    """Writes (or with value None deletes) HKLM\\Software\\Wine\\Ports values in one Wine start."""
    lines = ["Windows Registry Editor Version 5.00", "", "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]"]
    for name, value in values.items():
        lines.append('"%s"=%s' % (name, "-" if value is None else '"%s"' % value))
    with tempfile.NamedTemporaryFile("w", suffix=".reg", delete=False) as f:
        f.write("\r\n".join(lines) + "\r\n")
    try:
        # Through drive Z: (the host's root): reg would take "/tmp/..." for a switch.
        subprocess.run([wine_run, "reg", "import", "Z:" + f.name.replace("/", "\\")], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    finally:
        os.unlink(f.name)


def link_port(prefix, number, target):
    link = os.path.join(prefix, "dosdevices", "com%d" % number)
    tmp = link + ".new"
    if os.path.lexists(tmp):
        os.unlink(tmp)
    os.symlink(target, tmp)
    os.replace(tmp, link)  # atomic: an open in between sees the old link or the new one
    return link


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: pty_peer.py WINE_RUN PROGRAM")
    wine_run, program = sys.argv[1], sys.argv[2]
    os.environ.setdefault("WINEDEBUG", "-all")

    lines, slaves, paths = {}, [], {}
    for number, address in DEVICES.items():
        master, slave = os.openpty()
        tty.setraw(slave)  # no echo, no line editing: bytes pass unchanged
        lines[master] = address
        slaves.append(slave)  # held open all along, so the master never sees a hang-up
        paths[number] = os.ttyname(slave)

    names = {"COM%d" % n: p for n, p in paths.items()}
    import_ports(wine_run, names)  # also prepares the prefix on first use
    prefix = wine_prefix()
    links = [(link_port(prefix, n, p), p) for n, p in paths.items()]

    peer = Peer(lines)
    peer.start()
    try:
        status = subprocess.run([wine_run, program], timeout=RUN_LIMIT_S).returncode
    except subprocess.TimeoutExpired:
        print("pty_peer: %s did not finish within %d s" % (program, RUN_LIMIT_S), file=sys.stderr)
        status = 1
    finally:
        peer.stop()
        for link, target in links:
            if os.path.islink(link) and os.readlink(link) == target:
                os.unlink(link)
        import_ports(wine_run, {name: None for name in names})
        for fd in list(lines) + slaves:
            os.close(fd)
    if peer.error is not None:
        print("pty_peer: the peer failed: %r" % (peer.error,), file=sys.stderr)
        status = status or 1
    return status


if __name__ == "__main__":
    sys.exit(main())
