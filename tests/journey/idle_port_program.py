#!/usr/bin/env python3
"""The next program on the virtual port: one program opens ttyFRX0 and never reads for 6 s (the
terminal's queue fills with old batches and ends in a cut sentence), then closes it; the next
program's first line is a whole $GPRMC of a fix after the first one left. A root from
scripts/setup-root.sh with only the receiver's device set, a simulated receiver at 5 Hz."""
import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import termios
import time

from journey_common import fail, stop, wait_for_path

BIN, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])


def open_raw(path):
    fd = os.open(path, os.O_RDONLY | os.O_NOCTTY)
    attrs = termios.tcgetattr(fd)
    attrs[3] &= ~(termios.ICANON | termios.ECHO)
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    return fd


def main():
    root = tempfile.mkdtemp(prefix="ferrox-idle-")
    procs = []
    try:
        subprocess.run([os.path.join(SOURCE, "scripts/setup-root.sh"), root, os.path.dirname(BIN)], check=True,
                       capture_output=True, cwd=SOURCE)
        link, port = os.path.join(root, "receiver"), os.path.join(root, "dev/ttyFRX0")
        subprocess.run([os.path.join(BIN, "ferrox-reg"), "--root", root, "set",
                        r"HKLM\Software\Quorvale\SerialPorts\COM4:", "Device", "sz:" + link], check=True)
        procs.append(subprocess.Popen([os.path.join(BIN, "ferrox-sim"), "receiver", "--link", link, "--rate", "5"],
                                      stderr=subprocess.DEVNULL))
        if not wait_for_path(link, 10):
            fail("no simulated receiver")
        procs.append(subprocess.Popen([os.path.join(BIN, "frxd"), "--root", root, "--foreground"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        if not wait_for_path(port, 10):
            fail("no virtual port")
        idle = open_raw(port)
        time.sleep(6)  # holds the port, never reads
        os.close(idle)
        left = datetime.datetime.now(datetime.timezone.utc)
        time.sleep(0.3)
        reader = open_raw(port)
        data, end = b"", time.time() + 5
        while time.time() < end and data.count(b"\r\n") < 2:
            data += os.read(reader, 4096)
        os.close(reader)
        first = data.split(b"\r\n")[0].decode("ascii", "replace")
        if not first.startswith("$GPRMC,"):
            fail("the next program's first line is not a whole batch's start: %r" % first[:80])
        stamp = first.split(",")[1]
        at = left.replace(hour=int(stamp[0:2]), minute=int(stamp[2:4]), second=int(stamp[4:6]),
                          microsecond=int(float(stamp[6:]) * 1e6))
        if (at - left).total_seconds() < -0.5:
            fail("the next program's first fix is %.1f s older than its open: %s" % ((left - at).total_seconds(), first))
        print("PASS: first line %s" % first)
    finally:
        stop(*procs)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
