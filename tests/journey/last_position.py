#!/usr/bin/env python3
"""The last known position in the registry, from a root made by scripts/setup-root.sh with only the
receiver's device set: a plain quality-1 receiver at 1 Hz has every fix stored (the stored time
moves on by one second at each); a 10 Hz receiver has its newest fix stored at least once a
second while it runs, and when it stops the last fix it sent is stored."""
import os
import shutil
import subprocess
import sys
import time

from journey_common import fail, new_root, reg, stop, wait_for

BIN, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
KEY = r"HKLM\Software\Quorvale\CellTower"
FILETIME_UNIX_EPOCH = 116444736000000000  # 100 ns units from 1601 to 1970


def stored_time(root):
    """The stored fix's UTC time (s since 1970), or None."""
    out = subprocess.run([os.path.join(BIN, "ferrox-reg"), "--root", root, "get", KEY, "LastGpsUpdateTime"],
                         capture_output=True, text=True)
    if out.returncode != 0:
        return None
    raw = bytes.fromhex(out.stdout.strip().replace(",", "").replace(" ", ""))
    if len(raw) != 8:
        fail("LastGpsUpdateTime is not 8 bytes: " + out.stdout.strip())
    return (int.from_bytes(raw, "little") - FILETIME_UNIX_EPOCH) / 1e7


def run(rate, seconds, check):
    root = new_root(os.path.dirname(BIN), SOURCE, "ferrox-lastpos-")
    procs = []
    try:
        link = os.path.join(root, "receiver")
        reg(BIN, root, r"HKLM\Software\Quorvale\SerialPorts\COM4:", "Device", "sz:" + link)
        receiver = subprocess.Popen([os.path.join(BIN, "ferrox-sim"), "receiver", "--link", link, "--rate", str(rate),
                                     "--noise", "3"], stderr=subprocess.DEVNULL)
        procs.append(receiver)
        if not wait_for(lambda: os.path.exists(link), 10):
            fail("no simulated receiver")
        procs.append(subprocess.Popen([os.path.join(BIN, "frxd"), "--root", root, "--foreground"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        port = os.path.join(root, "dev/ttyFRX0")
        if not wait_for(lambda: os.path.exists(port), 10):
            fail("no virtual port")
        reader = os.open(port, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)  # a program on the port wakes the driver
        try:
            if not wait_for(lambda: stored_time(root) is not None, 15):
                fail("no position stored at %d Hz" % rate)
            samples = []
            end = time.time() + seconds
            while time.time() < end:
                samples.append((time.time(), stored_time(root)))
                try:
                    os.read(reader, 65536)
                except BlockingIOError:
                    pass
                time.sleep(0.1)
            return check(root, receiver, samples)
        finally:
            os.close(reader)
    finally:
        stop(*procs)
        shutil.rmtree(root, ignore_errors=True)


def every_fix(root, receiver, samples):
    times = sorted({t for _, t in samples})
    steps = [round(b - a, 1) for a, b in zip(times, times[1:])]
    if len(times) < 4 or any(s != 1.0 for s in steps):
        fail("1 Hz: stored times step by %s, not one second at each fix" % steps)
    return "1 Hz: %d fixes stored one second apart" % len(times)


def newest_and_last(root, receiver, samples):
    behind = [now - t for now, t in samples]
    if max(behind) > 2.0:  # written about once a second; the rest is this check being slow
        fail("10 Hz: the stored fix was %.2f s old while the receiver ran" % max(behind))
    stop(receiver)
    stopped = time.time()
    # The driver notices the silence, then stores the fix it held back.
    if not wait_for(lambda: stopped - stored_time(root) < 0.4, 10):
        fail("10 Hz: %.2f s after the receiver stopped the stored fix is %.2f s old" %
             (time.time() - stopped, stopped - stored_time(root)))
    return "10 Hz: at most %.2f s behind while running, the last fix stored %.2f s before the stop" % (
        max(behind), stopped - stored_time(root))


def main():
    said = [run(1, 5, every_fix), run(10, 5, newest_and_last)]
    print("PASS: " + "; ".join(said))


if __name__ == "__main__":
    main()
