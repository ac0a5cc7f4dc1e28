#!/usr/bin/python3
# bench/scan/pyserial_scan.py — the 100-address scan written the way a user would with pyserial: the yardstick of the scan benchmark.
#
# Usage: pyserial_scan.py DEVICE   (e.g. /dev/pts/3). Prints `found=05,42 wall_s=9.841 cpu_s=0.052`,
# the same fields as busfinder-scan, timed from the open to the close of the port.
import sys
import time

import serial

start_wall = time.monotonic()
start_cpu = time.process_time()
port = serial.Serial(sys.argv[1], 115200, bytesize=serial.EIGHTBITS, parity=serial.PARITY_MARK,
                     stopbits=serial.STOPBITS_ONE, timeout=0.1)
found = []
for tens in range(10):
    for units in range(10):
        address = bytes([tens << 4 | units])
        port.reset_input_buffer()
        port.write(address)
        if port.read(1) == address:
            found.append(address.hex().upper())
port.close()
print("found=%s wall_s=%.3f cpu_s=%.3f" % (",".join(found), time.monotonic() - start_wall,
                                            time.process_time() - start_cpu))
