#!/usr/bin/env python3
"""The profile's Smooth as the README has a user turn it on, from roots made by
scripts/setup-root.sh: two frxd side by side, each reading its own simulated receiver (the same
seed: the same 3 m of noise) driving due east at 50 km/h with a plain quality-1 fix, one with
`Profile1` `Smooth` dword:1 and one without. The positions on the TCP port scatter across the road
(north and south) by the receiver's noise without it, and by less than 0.6 of that with it."""
import math
import os
import shutil
import sys
import time

from journey_common import fail, free_port, new_root, receiver_and_frxd, reg, stop, wait_for

BIN, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
START_LAT = 48.137  # ferrox-sim's default start; the road runs east from it
FIXES = 14


def latitude(gga):
    f = gga.split(",")
    degrees = float(f[2][:2]) + float(f[2][2:]) / 60
    return degrees if f[3] == "N" else -degrees


def start(smooth, procs):
    """A root, its receiver and its frxd; the TCP port's lines."""
    root = new_root(os.path.dirname(BIN), SOURCE, "ferrox-smooth-")
    link, tcp_port = os.path.join(root, "receiver"), free_port()
    reg(BIN, root, r"HKLM\Software\Quorvale\SerialPorts\COM4:", "Device", "sz:" + link)
    reg(BIN, root, r"HKLM\Software\Quorvale\Frxd", "TcpPort", "dword:%d" % tcp_port)
    if smooth:
        reg(BIN, root, r"HKLM\Software\Quorvale\FerroxDriver\Profile1", "Smooth", "dword:1")
    return root, receiver_and_frxd(BIN, root, ["--noise", "3", "--seed", "5"], tcp_port, procs)


def across(lines):
    """Root mean square distance north or south of the road of the quality-1 fixes after the
    first three (m)."""
    fixes = [l for l in lines.between(0, time.time() + 1, "$GPGGA") if l.split(",")[6] == "1"][3:]
    metres = [(latitude(l) - START_LAT) * 111195 for l in fixes]
    return (math.sqrt(sum(m * m for m in metres) / len(metres)) if metres else 0.0), len(fixes)


def main():
    procs, roots = [], []
    try:
        plain_root, plain = start(False, procs)
        smooth_root, smooth = start(True, procs)
        roots += [plain_root, smooth_root]
        if not wait_for(lambda: across(plain)[1] >= FIXES and across(smooth)[1] >= FIXES, 40):
            fail("fewer than %d quality-1 fixes in 40 s" % FIXES)
        raw, n = across(plain)
        smoothed, m = across(smooth)
        if not 1.5 < raw < 5:
            fail("without Smooth the fixes scatter %.2f m across the road: not the receiver's 3 m" % raw)
        if smoothed >= 0.6 * raw:
            fail("with Smooth the fixes scatter %.2f m across the road, without %.2f m" % (smoothed, raw))
        print("PASS: across the road %.2f m without Smooth (%d fixes), %.2f m with it (%d fixes): %.2f"
              % (raw, n, smoothed, m, smoothed / raw))
    finally:
        stop(*procs)
        for root in roots:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
