#!/usr/bin/env python3
"""A user's first day with gpsd and an ordinary receiver: gpsfake replays a capture whose fixes are
all GGA quality 1 (what almost every receiver reports) into gpsd; a data root made by
scripts/setup-root.sh gets only what the README tells a user to set (gpsd's port, and frxd's TCP
port so that the check runs beside others), nothing else. frxd, with no receiver of its own,
must serve valid $GPRMC at gpsd's positions on its TCP port within 5 s of starting, and
`ferrox-gpsapi watch` through the platform library and through PosClient must report quality 1."""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from nmea_common import free_port, stop

BIN, SOURCE, CAPTURE = sys.argv[1], sys.argv[2], sys.argv[3]


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def wait_port(port, seconds):
    end = time.time() + seconds
    while time.time() < end:
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=1)
        except OSError:
            time.sleep(0.05)
    return None


def checksum_right(line):
    if not line.startswith("$") or "*" not in line:
        return False
    body, given = line[1:].split("*", 1)
    c = 0
    for ch in body:
        c ^= ord(ch)
    return given[:2] == "%02X" % c


def degrees(value, hemisphere):
    d = float(value[:value.index(".") - 2]) + float(value[value.index(".") - 2:]) / 60
    return -d if hemisphere in ("S", "W") else d


def capture_positions():
    """The capture's own fixed positions (RMC status A)."""
    positions = []
    with open(CAPTURE, errors="replace") as f:
        for line in f:
            fields = line.strip().split("*")[0].split(",")
            if fields[0].endswith("RMC") and len(fields) > 6 and fields[2] == "A":
                positions.append((degrees(fields[3], fields[4]), degrees(fields[5], fields[6])))
    return positions


def main():
    if not os.path.exists(CAPTURE):
        fail("the capture %s is missing: nothing to compare" % CAPTURE)
    if not shutil.which("gpsfake"):
        fail("gpsfake is not installed: no gpsd to read")
    truth = capture_positions()
    if not truth:
        fail("the capture has no fixed position")
    root = tempfile.mkdtemp(prefix="ferrox-plain-fix-")
    gpsd_port, tcp_port = free_port(), free_port()
    subprocess.run([os.path.join(SOURCE, "scripts/setup-root.sh"), root, os.path.dirname(BIN)], check=True,
                   capture_output=True, cwd=SOURCE)

    def reg(key, name, value):
        subprocess.run([os.path.join(BIN, "ferrox-reg"), "--root", root, "set", key, name, value], check=True)

    reg(r"HKLM\Software\Quorvale\Gpsd", "Port", "sz:%d" % gpsd_port)
    reg(r"HKLM\Software\Quorvale\Frxd", "TcpPort", "dword:%d" % tcp_port)
    fake = subprocess.Popen(["gpsfake", "-q", "-c", "0.05", "-P", str(gpsd_port), CAPTURE],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    host = None
    try:
        probe = wait_port(gpsd_port, 20)
        if not probe:
            fail("gpsfake's gpsd does not listen")
        probe.close()
        started = time.time()
        host = subprocess.Popen([os.path.join(BIN, "frxd"), "--root", root, "--foreground"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        conn = wait_port(tcp_port, 10)
        if not conn:
            fail("frxd's TCP server does not listen")
        conn.settimeout(0.5)
        text, first_fix, last_rmc = "", None, ""
        while time.time() - started < 15 and first_fix is None:
            try:
                text += conn.recv(65536).decode(errors="replace")
            except socket.timeout:
                continue
            for line in text.split("\r\n")[:-1]:
                fields = line.split("*")[0].split(",")
                if not line.startswith("$GPRMC") or len(fields) < 7:
                    continue
                last_rmc = line
                if not checksum_right(line):
                    fail("a sentence with a wrong checksum: " + line)
                if fields[2] != "A":
                    continue
                lat, lon = degrees(fields[3], fields[4]), degrees(fields[5], fields[6])
                if not any(abs(lat - a) < 1e-4 and abs(lon - b) < 1e-4 for a, b in truth):
                    fail("a fix gpsd never reported: " + line)
                first_fix = time.time() - started
            text = text.split("\r\n")[-1]
        conn.close()
        if first_fix is None:
            fail("no valid $GPRMC from frxd in 15 s; the last: " + last_rmc)
        if first_fix > 5:
            fail("the first valid $GPRMC came %.1f s after frxd started (5 s allowed)" % first_fix)
        for library in ("--platform", "--client"):
            out = subprocess.run([os.path.join(BIN, "ferrox-gpsapi"), "--root", root, "watch", library, "--count", "3"],
                                 capture_output=True, text=True, timeout=60)
            lines = [l for l in out.stdout.splitlines() if l.strip()]
            if out.returncode != 0 or len(lines) != 3:
                fail("ferrox-gpsapi watch %s: %s%s" % (library, out.stdout, out.stderr))
            for line in lines:
                if not line.endswith(" Q1"):
                    fail("ferrox-gpsapi watch %s reports another fix quality than 1: %s" % (library, line))
        print("frxd's first valid $GPRMC after %.1f s; the platform library and PosClient report quality 1" % first_fix)
    finally:
        stop(fake, host)
        shutil.rmtree(root, ignore_errors=True)


main()
