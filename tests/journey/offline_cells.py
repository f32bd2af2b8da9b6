#!/usr/bin/env python3
"""Offline cell positions as the README has a user set them up, from a root made by
scripts/setup-root.sh: the receiver's device, the TCP port, a radio (the scripted one standing in
for a modem) and `ferrox-cells import` of a public export; no lookup configured (a fresh root has
none). With a plain GPS fix the port carries the receiver's quality-1 fixes and no cell position.
The receiver gone and the radio in a cell it never saw with a fix, the port carries that cell's
imported position with $PGRMT "Cell Tower", the service says it came from the imported cells, and
`ferrox-cells find` and `export --imported` show it."""
import os
import shutil
import socket
import subprocess
import sys
import time

from journey_common import Lines, fail, free_port, new_root, reg, stop, wait_for, wait_for_port

BIN, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
EXPORT = ("radio,mcc,net,area,cell,unit,lon,lat,range,samples,changeable,created,updated,averageSignal\n"
          "GSM,262,1,4711,12345,,11.576124,48.137154,1000,5,1,1290000000,1300000000,0\n"
          "LTE,262,1,4711,22222,,13.400000,52.500000,1500,9,1,1290000000,1300000000,0\n")
# The cell changes once the receiver's last fix is more than 10 s old: a newer fix would be
# learned as the cell's position.
RADIO = ("wait-radio\noperator 26201\ncell 262 1 4711 12345\nsignal -80 -113 -51\nwait 22000\n"
         "cell 262 1 4711 22222\nsignal -81 -113 -51\n")
WITH_FIX = 6  # s the receiver is plugged in


def cells(root, *args):
    return subprocess.run([os.path.join(BIN, "ferrox-cells"), "--root", root, *args], capture_output=True, text=True)


def last_source(root):
    return subprocess.run([os.path.join(BIN, "ferrox-reg"), "--root", root, "get",
                           r"HKLM\Software\Quorvale\CellTower", "LastSource"], capture_output=True, text=True).stdout


def main():
    root = new_root(os.path.dirname(BIN), SOURCE, "ferrox-offline-")
    procs = []
    try:
        link, radio = os.path.join(root, "receiver"), os.path.join(root, "radio.sock")
        reg(BIN, root, r"HKLM\Software\Quorvale\SerialPorts\COM4:", "Device", "sz:" + link)
        tcp_port = free_port()
        reg(BIN, root, r"HKLM\Software\Quorvale\Frxd", "TcpPort", "dword:%d" % tcp_port)
        reg(BIN, root, r"HKLM\Software\Quorvale\Radio", "Backend", "sz:scripted")
        reg(BIN, root, r"HKLM\Software\Quorvale\Radio", "Link", "sz:" + radio)
        with open(os.path.join(root, "cells.csv"), "w") as f:
            f.write(EXPORT)
        imported = cells(root, "import", os.path.join(root, "cells.csv"))
        if imported.returncode != 0 or "2 cells taken" not in imported.stdout:
            fail("the import: " + imported.stdout + imported.stderr)
        with open(os.path.join(root, "radio.script"), "w") as f:
            f.write(RADIO)
        procs.append(subprocess.Popen([os.path.join(BIN, "ferrox-sim"), "radio", "--link", radio, "--script",
                                       os.path.join(root, "radio.script")], stderr=subprocess.DEVNULL))
        receiver = subprocess.Popen([os.path.join(BIN, "ferrox-sim"), "receiver", "--link", link],
                                    stderr=subprocess.DEVNULL)
        procs.append(receiver)
        if not wait_for(lambda: os.path.exists(link) and os.path.exists(radio), 10):
            fail("the simulated receiver or radio did not start")
        err_path = os.path.join(root, "frxd.err")
        with open(err_path, "w") as err:
            procs.append(subprocess.Popen([os.path.join(BIN, "frxd"), "--root", root, "--foreground"],
                                          stdout=subprocess.DEVNULL, stderr=err))
        if not wait_for_port(tcp_port):
            fail("frxd's NMEA server does not listen: " + open(err_path).read())
        tcp = socket.create_connection(("127.0.0.1", tcp_port))
        lines = Lines(lambda: tcp.recv(4096))
        start = time.time()
        # The common case first: a plain fix is what the port carries, never the cell's position.
        if not wait_for(lambda: any(l.split(",")[6] == "1" for l in lines.between(start, time.time() + 1, "$GPGGA")), 10):
            fail("no quality-1 fix on the TCP port: " + open(err_path).read())
        with lines.lock:
            first_fix = next(t for t, l in lines.lines if l.startswith("$GPGGA") and l.split(",")[6] == "1")
        time.sleep(max(0.0, start + WITH_FIX - time.time()))
        if lines.between(first_fix, time.time(), "$PGRMT,Cell Tower"):  # before the first fix the cell may stand in
            fail("a cell position while the receiver had a fix")
        stop(receiver)
        procs.remove(receiver)
        gone = time.time()
        # Unplugged; the radio moves into a cell no fix was seen in, known from the import only.
        tower = lambda: [l for l in lines.between(gone, time.time() + 1, "$GPRMC") if "5230.000" in l]
        if not wait_for(lambda: tower() and lines.between(gone, time.time() + 1, "$PGRMT,Cell Tower"), 40):
            fail("no batch at the imported cell's position; LastSource %s, last lines %s"
                 % (last_source(root).strip(), [l for _, l in lines.lines[-6:]]))
        if "Imported" not in last_source(root):
            fail("LastSource is not Imported: " + last_source(root))
        tcp.close()
        found = cells(root, "find", "262", "1", "4711", "22222")
        if found.returncode != 0 or not found.stdout.startswith("imported LTE: 1 4711 22222 52.500000 13.400000"):
            fail("ferrox-cells find: " + found.stdout + found.stderr)
        exported = cells(root, "export", "--imported")
        gpx = os.path.join(root, "Quorvale", "262-imported.gpx")
        if exported.returncode != 0 or not os.path.exists(gpx) or 'lat="52.500000" lon="13.400000"' not in open(gpx).read():
            fail("export --imported: " + exported.stdout + exported.stderr)
        print("PASS: %d quality-1 fixes while plugged in, no cell position; receiver gone, cell 22222 from the "
              "import %.1f s later: %s; find: %s" % (len(lines.between(start, gone, "$GPGGA")), time.time() - gone,
                                                     tower()[-1], found.stdout.strip()))
    finally:
        stop(*procs)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
