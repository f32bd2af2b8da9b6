#!/usr/bin/env python3
"""A receiver unplugged and plugged in again, from a root made by scripts/setup-root.sh with only
the receiver's device and the TCP port set: while it is gone, once its last fix has been carried past the
projection window, no batch on frxd's TCP port claims a receiver's fix (GGA quality 0 or 6, RMC
mode N or E, at least one estimate shown) and gpsd reading the virtual port reports no 3D fix;
plugged in again, GGA quality 1 within 3 s."""
import json
import os
import shutil
import socket
import subprocess
import sys
import time

from journey_common import Lines, fail, free_port, new_root, reg, stop, wait_for, wait_for_port

BIN, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
GONE_AFTER = 15  # s: the projection window (10 s) and the port's loss (5 s) past the last fix


def main():
    if shutil.which("gpsd") is None or shutil.which("gpspipe") is None:
        fail("gpsd and gpspipe are not installed: no peer to read the virtual port")
    root = new_root(os.path.dirname(BIN), SOURCE, "ferrox-unplug-")
    procs = []
    try:
        link, port = os.path.join(root, "receiver"), os.path.join(root, "dev/ttyFRX0")
        reg(BIN, root, r"HKLM\Software\Quorvale\SerialPorts\COM4:", "Device", "sz:" + link)
        tcp_port = free_port()  # the README's TcpPort, free for tests running side by side
        reg(BIN, root, r"HKLM\Software\Quorvale\Frxd", "TcpPort", "dword:%d" % tcp_port)
        sim = [os.path.join(BIN, "ferrox-sim"), "receiver", "--link", link]
        receiver = subprocess.Popen(sim, stderr=subprocess.DEVNULL)
        procs.append(receiver)
        if not wait_for(lambda: os.path.exists(link), 10):
            fail("no simulated receiver")
        procs.append(subprocess.Popen([os.path.join(BIN, "frxd"), "--root", root, "--foreground"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        if not wait_for(lambda: os.path.exists(port), 10):
            fail("no virtual port")
        gpsd_port = free_port()
        procs.append(subprocess.Popen(["gpsd", "-N", "-n", "-b", "-S", str(gpsd_port), port],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        tcp = socket.create_connection(("127.0.0.1", tcp_port), timeout=10)
        tcp.settimeout(None)
        nmea = Lines(lambda: tcp.recv(4096))
        if not wait_for_port(gpsd_port):
            fail("gpsd does not listen")
        pipe = subprocess.Popen(["gpspipe", "-w", "localhost:%d" % gpsd_port], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
        procs.append(pipe)
        reports = Lines(lambda: os.read(pipe.stdout.fileno(), 4096))
        start = time.time()
        if not wait_for(lambda: any(",1,08," in g for g in nmea.between(start - 30, time.time(), "$GPGGA")), 15):
            fail("no quality-1 fix before the unplugging")
        stop(receiver)
        procs.remove(receiver)
        unplugged = time.time()
        time.sleep(GONE_AFTER + 8)
        gone = (unplugged + GONE_AFTER, time.time())
        gga, rmc = nmea.between(*gone, "$GPGGA"), nmea.between(*gone, "$GPRMC")
        tpv = [json.loads(r) for r in reports.between(*gone, '{"class":"TPV"')]
        if len(gga) < 5 or not tpv:
            fail("too few reports while the receiver was gone: %d batches, %d from gpsd" % (len(gga), len(tpv)))
        claimed = [g for g in gga if g.split(",")[6] not in ("0", "6")]
        if claimed:
            fail("a receiver's fix claimed with the receiver gone: " + claimed[0])
        modes = [r.split(",")[12].split("*")[0] for r in rmc]
        if any(m not in ("E", "N") for m in modes):
            fail("RMC mode while the receiver was gone: %s" % modes)
        if not any(g.split(",")[6] == "6" for g in gga):
            fail("no estimate shown while the receiver was gone: " + gga[-1])
        if any(t.get("mode", 0) >= 3 for t in tpv):
            fail("gpsd reported a 3D fix with the receiver gone: %s" % [t for t in tpv if t.get("mode", 0) >= 3][0])
        procs.append(subprocess.Popen(sim, stderr=subprocess.DEVNULL))
        plugged = time.time()
        if not wait_for(lambda: any(",1,08," in g for g in nmea.between(plugged, time.time(), "$GPGGA")), 3):
            fail("no quality-1 fix within 3 s of plugging the receiver in again")
        back = next(t for t, g in nmea.lines if t >= plugged and ",1,08," in g) - plugged
        print("PASS: gone: %d batches (quality %s), gpsd modes %s; back to quality 1 after %.1f s" %
              (len(gga), sorted({g.split(",")[6] for g in gga}), sorted({t.get("mode", 0) for t in tpv}), back))
        tcp.close()
    finally:
        stop(*procs)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
