#!/usr/bin/env python3
"""The GPS API libraries against gpsd: gpsfake replays a receiver capture into gpsd, and what
`ferrox-gpsapi watch` prints through PosClient, through the platform library, and through PosShim
from frxd reading that gpsd as its only source, equals gpspipe's TPV reports (latitude and
longitude within 1e-7 degrees, speed in knots = m/s x 1.943844)."""
import json
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


LIBRARIES = ("--client", "--platform", "--shim")


def main():
    if not os.path.exists(CAPTURE):
        fail("the capture %s is missing: nothing to compare" % CAPTURE)
    for tool in ("gpsfake", "gpspipe"):
        if not shutil.which(tool):
            fail(tool + " is not installed: nothing to compare against")
    root = tempfile.mkdtemp(prefix="ferrox-gpsapi-")
    port = free_port()
    subprocess.run([os.path.join(SOURCE, "scripts/setup-root.sh"), root, os.path.dirname(BIN)], check=True, capture_output=True,
                   cwd=SOURCE)

    def reg(key, name, value):
        subprocess.run([os.path.join(BIN, "ferrox-reg"), "--root", root, "set", key, name, value], check=True)

    reg(r"HKLM\Software\Quorvale\Gpsd", "Port", "sz:%d" % port)
    reg(r"HKLM\Software\Quorvale\Frxd", "TcpPort", "dword:%d" % free_port())
    # The driver reads the platform GPS only, without corrections: its records are gpsd's fixes.
    ports = ["00", "00", "00", "00", "11", "01", "00", "00"] + ["00"] * 72
    reg(r"HKLM\Software\Quorvale\FerroxDriver", "PortConfig", "hex:" + ",".join(ports))
    reg(r"HKLM\Software\Quorvale\FerroxDriver", "GpsComPort", "dword:0")
    fake = subprocess.Popen(["gpsfake", "-q", "-c", "0.2", "-P", str(port), CAPTURE],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    host = None
    try:
        end = time.time() + 20
        while time.time() < end:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.1)
        host = subprocess.Popen([os.path.join(BIN, "frxd"), "--root", root, "--foreground"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Running once its socket answers: the shim's watcher says so at once when it is not.
        sock, end = os.path.join(root, "frxd.sock"), time.time() + 15
        while time.time() < end:
            try:
                probe = socket.socket(socket.AF_UNIX)
                probe.connect(sock)
                probe.close()
                break
            except OSError:
                time.sleep(0.1)
        pipe = subprocess.Popen(["gpspipe", "-w", "localhost:%d" % port], stdout=subprocess.PIPE, text=True)
        watch = [subprocess.Popen([os.path.join(BIN, "ferrox-gpsapi"), "--root", root, "watch", library, "--count",
                                   "5", "--max-age", "100000"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  text=True) for library in LIBRARIES]
        outputs = [w.communicate(timeout=120)[0] for w in watch]
        time.sleep(0.5)
        pipe.terminate()
        reports = pipe.communicate(timeout=10)[0]
    finally:
        stop(fake, host)
        shutil.rmtree(root, ignore_errors=True)
    tpv = {}
    for line in reports.splitlines():
        try:
            r = json.loads(line)
        except ValueError:
            continue
        if r.get("class") == "TPV" and "lat" in r and "time" in r:
            tpv[r["time"]] = r
    if not tpv:
        fail("gpspipe saw no TPV with a position")
    compared = 0
    for library, out in zip(LIBRARIES, outputs):
        lines = [l.split() for l in out.splitlines() if l.strip()]
        if len(lines) < 5:
            fail("%s printed %d positions:\n%s" % (library, len(lines), out))
        for fields in lines:
            t, lat, lon, speed = fields[0], float(fields[1]), float(fields[2]), fields[3]
            r = tpv.get(t)
            if r is None and library == "--shim":
                # The driver stamps a fix whose GPS clock is far from the system's (this capture is
                # months old) with its own clock: the fix is found by its position.
                r = next((x for x in tpv.values() if abs(lat - x["lat"]) <= 1e-7 and abs(lon - x["lon"]) <= 1e-7),
                         None)
            if r is None:
                fail("%s printed a position gpsd never reported: %s" % (library, " ".join(fields)))
            if abs(lat - r["lat"]) > 1e-7 or abs(lon - r["lon"]) > 1e-7:
                fail("%s at %s: %.7f %.7f, gpsd %.9f %.9f" % (library, t, lat, lon, r["lat"], r["lon"]))
            if "speed" in r and speed != "-" and abs(float(speed) - r["speed"] * 1.943844) > 1e-3:
                fail("%s at %s: %s knots, gpsd %.3f m/s" % (library, t, speed, r["speed"]))
            compared += 1
    print("compared %d positions of PosClient, the platform library and PosShim with %d TPV reports of gpsd" %
          (compared, len(tpv)))


main()
