#!/usr/bin/env python3
"""The GPS API libraries against gpsd: gpsfake replays a receiver capture into gpsd, and what
`ferrox-gpsapi watch` prints through PosClient and through the platform library equals gpspipe's
TPV reports (latitude and longitude within 1e-7 degrees, speed in knots = m/s x 1.943844)."""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

BIN, CAPTURE = sys.argv[1], sys.argv[2]


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def main():
    if not os.path.exists(CAPTURE):
        fail("the capture %s is missing: nothing to compare" % CAPTURE)
    for tool in ("gpsfake", "gpspipe"):
        if not shutil.which(tool):
            fail(tool + " is not installed: nothing to compare against")
    root = tempfile.mkdtemp(prefix="ferrox-gpsapi-")
    port = free_port()
    subprocess.run([os.path.join(BIN, "ferrox-reg"), "--root", root, "set", r"HKLM\Software\Quorvale\Gpsd", "Port",
                    "sz:%d" % port], check=True)
    fake = subprocess.Popen(["gpsfake", "-q", "-1", "-c", "0.1", "-P", str(port), CAPTURE],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        end = time.time() + 20
        while time.time() < end:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.1)
        pipe = subprocess.Popen(["gpspipe", "-w", "localhost:%d" % port], stdout=subprocess.PIPE, text=True)
        watch = [subprocess.Popen([os.path.join(BIN, "ferrox-gpsapi"), "--root", root, "watch", library, "--count",
                                   "5", "--max-age", "100000"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  text=True) for library in ("--client", "--platform")]
        outputs = [w.communicate(timeout=90)[0] for w in watch]
        time.sleep(0.5)
        pipe.terminate()
        reports = pipe.communicate(timeout=10)[0]
    finally:
        fake.terminate()
        fake.wait(timeout=10)
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
    for library, out in zip(("client", "platform"), outputs):
        lines = [l.split() for l in out.splitlines() if l.strip()]
        if len(lines) < 5:
            fail("%s printed %d positions:\n%s" % (library, len(lines), out))
        for fields in lines:
            t, lat, lon, speed = fields[0], float(fields[1]), float(fields[2]), fields[3]
            r = tpv.get(t)
            if r is None:
                fail("%s printed a time gpsd never reported: %s" % (library, t))
            if abs(lat - r["lat"]) > 1e-7 or abs(lon - r["lon"]) > 1e-7:
                fail("%s at %s: %.7f %.7f, gpsd %.9f %.9f" % (library, t, lat, lon, r["lat"], r["lon"]))
            if "speed" in r and abs(float(speed) - r["speed"] * 1.943844) > 1e-3:
                fail("%s at %s: %s knots, gpsd %.3f m/s" % (library, t, speed, r["speed"]))
            compared += 1
    print("compared %d positions of PosClient and the platform library with %d TPV reports of gpsd" %
          (compared, len(tpv)))


main()
