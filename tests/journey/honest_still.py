#!/usr/bin/env python3
"""The profile's HonestStill as the README has a user turn it on, from a root made by
scripts/setup-root.sh (the receiver's device, the TCP port, Profile1 HonestStill dword:1): a plain
quality-1 receiver standing still with 3 m of noise per axis. At 1 Hz the positions on the TCP port
stay within a metre and a half of each other and make no speed; at 10 Hz, after more fixes than
the latest 30, the reported position is the mean of them all: within a metre of where it stands."""
import math
import os
import shutil
import sys
import time

from journey_common import fail, free_port, new_root, receiver_and_frxd, reg, stop, wait_for

BIN, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
SPOT = (48.137, 11.575)  # ferrox-sim's default start, where it stands


def position(gga):
    f = gga.split(",")
    lat = float(f[2][:2]) + float(f[2][2:]) / 60
    lon = float(f[4][:3]) + float(f[4][3:]) / 60
    return (lat if f[3] == "N" else -lat, lon if f[5] == "E" else -lon)


def metres(a, b):
    north = (a[0] - b[0]) * 111195
    east = (a[1] - b[1]) * 111195 * math.cos(math.radians(b[0]))
    return math.hypot(north, east)


def standing(rate, seconds):
    """The quality-1 positions and RMC speeds on the TCP port over the last `seconds` of a run."""
    root = new_root(os.path.dirname(BIN), SOURCE, "ferrox-still-")
    procs = []
    try:
        link, port = os.path.join(root, "receiver"), free_port()
        reg(BIN, root, r"HKLM\Software\Quorvale\SerialPorts\COM4:", "Device", "sz:" + link)
        reg(BIN, root, r"HKLM\Software\Quorvale\Frxd", "TcpPort", "dword:%d" % port)
        reg(BIN, root, r"HKLM\Software\Quorvale\FerroxDriver\Profile1", "HonestStill", "dword:1")
        nmea = receiver_and_frxd(BIN, root, ["--rate", str(rate), "--speed", "0", "--noise", "3"], port, procs)
        begun = time.time()
        if not wait_for(lambda: any(",1,08," in g for g in nmea.between(begun, time.time(), "$GPGGA")), 15):
            fail("%d Hz: no quality-1 fix" % rate)
        first = time.time()
        time.sleep(seconds)
        window = (first + seconds / 2, time.time())
        gga = [g for g in nmea.between(*window, "$GPGGA") if ",1,08," in g]
        speeds = [float(r.split(",")[7] or 0) for r in nmea.between(*window, "$GPRMC")]
        if len(gga) < 3:
            fail("%d Hz: %d quality-1 positions in the last %.0f s" % (rate, len(gga), seconds / 2))
        return [position(g) for g in gga], speeds
    finally:
        stop(*procs)
        shutil.rmtree(root, ignore_errors=True)


def main():
    slow, speeds = standing(1, 12)
    spread = max(metres(a, b) for a in slow for b in slow)
    if spread > 1.5 or any(s > 0 for s in speeds):
        fail("1 Hz: positions %.1f m apart, speeds %s, standing with 3 m of noise" % (spread, sorted(set(speeds))))
    fast, _ = standing(10, 10)
    off = metres(fast[-1], SPOT)
    if off > 1.0:
        fail("10 Hz: after %d s standing the reported position is %.2f m from where it stands" % (10, off))
    print("PASS: 1 Hz: %d positions within %.2f m, speed 0; 10 Hz: %.2f m from the spot after ~100 fixes" %
          (len(slow), spread, off))


if __name__ == "__main__":
    main()
