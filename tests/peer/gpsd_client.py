#!/usr/bin/env python3
"""gpsd as a real client of frxd: reading the virtual port (a pseudo-terminal) and the NMEA TCP
server, gpsd reports 3D fixes that follow the simulated route with the right satellite count; and
after the receiver is unplugged and plugged in again, gpsd reports fixes again."""
import json
import math
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from nmea_common import free_port, stop

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
from processes import wait_for_path  # noqa: E402

BIN = sys.argv[1]
SOURCE = sys.argv[2]
SCALE = "5"


class Chain:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="ferrox-gpsd-")
        self.procs = []
        self.env = dict(os.environ, FERROX_TIME_SCALE=SCALE, FERROX_TIME_ORIGIN=str(int(time.time() * 1000)))
        self.nmea_port = free_port()
        subprocess.run([os.path.join(SOURCE, "scripts/setup-root.sh"), self.root, os.path.dirname(BIN)],
                       check=True, capture_output=True, cwd=SOURCE)
        self.reg("set", r"HKLM\Software\Quorvale\SerialPorts\COM4:", "Device", "sz:" + self.link())
        self.reg("set", r"HKLM\Software\Quorvale\Frxd", "TcpPort", "dword:%d" % self.nmea_port)

    def link(self):
        return os.path.join(self.root, "receiver")

    def reg(self, *args):
        subprocess.run([os.path.join(BIN, "ferrox-reg"), "--root", self.root, *args], check=True)

    def start(self, *cmd):
        p = subprocess.Popen(list(cmd), env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.procs.append(p)
        return p

    def receiver(self):
        p = self.start(os.path.join(BIN, "ferrox-sim"), "receiver", "--link", self.link(), "--speed", "50")
        assert wait_for_path(self.link()), "no receiver"
        return p

    def host(self):
        self.start(os.path.join(BIN, "frxd"), "--root", self.root, "--foreground")
        assert wait_for_path(os.path.join(self.root, "dev/ttyFRX0")), "no virtual port"

    def gpsd(self, device):
        port = free_port()
        self.start("gpsd", "-N", "-n", "-b", "-S", str(port), device)
        time.sleep(0.5)
        return port

    def close(self):
        stop(*self.procs)
        shutil.rmtree(self.root, ignore_errors=True)


def reports(port, seconds):
    """gpsd's JSON reports, as they come, for at most `seconds`; stops gpspipe when the reader
    stops reading."""
    pipe = subprocess.Popen(["gpspipe", "-w", "-x", str(seconds), "localhost:%d" % port], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    try:
        for line in pipe.stdout:
            try:
                yield json.loads(line)
            except ValueError:
                continue
    finally:
        pipe.kill()
        pipe.wait()


def fixes(port, count=6, seconds=40):
    """TPV reports with a 3D fix from gpsd, and the satellites used of its SKY reports; reads until
    `count` fixes came or `seconds` passed."""
    tpv, used = [], []
    for r in reports(port, seconds):
        if r.get("class") == "TPV" and r.get("mode") == 3 and "lat" in r:
            tpv.append(r)
        if r.get("class") == "SKY" and "uSat" in r:
            used.append(r["uSat"])
        if len(tpv) >= count:
            break
    return tpv, used


def until_no_fix(port, seconds):
    """Real seconds until gpsd reports a TPV without a fix (mode below 2), or None."""
    start = time.time()
    for r in reports(port, seconds):
        if r.get("class") == "TPV" and r.get("mode", 0) < 2:
            return time.time() - start
    return None


def check_no_fix(name, port, problems):
    """gpsd says no fix within 15 s of the driver's clock (the time scale runs it faster), and in
    any case within 15 real seconds: the driver never keeps a silent receiver's fix moving."""
    seconds = until_no_fix(port, 30)
    if seconds is None:
        problems.append("%s: gpsd still reported a fix 30 s later" % name)
        return
    print("%s: gpsd reported no fix after %.1f s (%.1f s of the driver's clock)" % (name, seconds, seconds * int(SCALE)))
    if seconds > 15:
        problems.append("%s: gpsd reported no fix only after %.1f s" % (name, seconds))


def check_route(name, tpv, used):
    problems = []
    if len(tpv) < 4:
        problems.append("%s: only %d 3D fixes" % (name, len(tpv)))
        return problems
    for r in tpv:
        if abs(r["lat"] - 48.137) > 0.001:
            problems.append("%s: latitude %f off the route" % (name, r["lat"]))
    lons = [r["lon"] for r in tpv]
    if not all(b >= a for a, b in zip(lons, lons[1:])) or lons[-1] <= lons[0]:
        problems.append("%s: longitudes do not move east: %s" % (name, lons))
    if used and max(used) != 8:
        problems.append("%s: satellites used %s, expected 8" % (name, used))
    return problems


def capture_positions(path):
    """Positions of the RMC sentences (any talker) with a fix in a capture."""
    out = []
    for line in open(path, errors="replace"):
        f = line.strip().split(",")
        if len(f[0]) == 6 and f[0].endswith("RMC") and len(f) > 6 and f[2] == "A" and f[3] and f[5]:
            lat = int(float(f[3]) / 100) + (float(f[3]) % 100) / 60
            lon = int(float(f[5]) / 100) + (float(f[5]) % 100) / 60
            out.append((-lat if f[4] == "S" else lat, -lon if f[6] == "W" else lon))
    return out


def replay_check(name):
    """A recorded capture played as the receiver arrives at gpsd with the capture's positions
    (moved at most by the projection of speed x (lag + LagAdvance))."""
    capture = os.path.join(SOURCE, "tests/data", name)
    if not os.path.exists(capture):
        return ["no capture at " + capture]
    known = capture_positions(capture)
    chain = Chain()
    problems = []
    try:
        p = chain.start(os.path.join(BIN, "ferrox-sim"), "receiver", "--link", chain.link(), "--replay", capture)
        assert wait_for_path(chain.link()), "no receiver"
        chain.host()
        tpv, _ = fixes(chain.gpsd(os.path.join(chain.root, "dev/ttyFRX0")), count=6)
        far = []
        for r in tpv:
            d = min(math.hypot((r["lat"] - a) * 111195, (r["lon"] - b) * 111195 * math.cos(math.radians(a)))
                    for a, b in known)
            if d > 30:
                far.append(round(d, 1))
        print("replayed %s: %d 3D fixes, %d further than 30 m from the capture's positions" % (name, len(tpv), len(far)))
        if len(tpv) < 3 or far:
            problems.append("replayed %s: %d fixes, distances %s" % (name, len(tpv), far))
        del p
    finally:
        chain.close()
    return problems


def main():
    missing = [p for p in ("gpsd", "gpspipe") if shutil.which(p) is None]
    missing += [p for p in ("frxd", "ferrox-sim", "ferrox-reg") if not os.access(os.path.join(BIN, p), os.X_OK)]
    if missing:
        print("FAIL missing input: " + ", ".join(missing))
        sys.exit(1)
    problems = []
    chain = Chain()
    try:
        chain.receiver()
        chain.host()
        pty_gpsd = chain.gpsd(os.path.join(chain.root, "dev/ttyFRX0"))
        tpv, used = fixes(pty_gpsd)
        problems += check_route("pseudo-terminal", tpv, used)
        print("pseudo-terminal: %d 3D fixes, satellites used %s" % (len(tpv), sorted(set(used))))
        tpv, used = fixes(chain.gpsd("tcp://127.0.0.1:%d" % chain.nmea_port))
        problems += check_route("tcp", tpv, used)
        print("tcp: %d 3D fixes, satellites used %s" % (len(tpv), sorted(set(used))))
        port = pty_gpsd
        # Attached but silent (the simulator stopped, its terminal still there), then speaking again.
        receiver = chain.procs[0]
        receiver.send_signal(signal.SIGSTOP)
        check_no_fix("silent receiver", port, problems)
        receiver.send_signal(signal.SIGCONT)
        tpv, used = fixes(port, count=6, seconds=60)
        moving = len(tpv) >= 3 and tpv[-1]["lon"] > tpv[0]["lon"] + 1e-5
        print("speaking again: %d 3D fixes, moving: %s" % (len(tpv), moving))
        if not moving:
            problems.append("after the silence gpsd reported no moving fixes (%d fixes)" % len(tpv))
        # Unplugged and plugged in again while gpsd reads the virtual port.
        stop(receiver)
        check_no_fix("unplugged receiver", port, problems)
        chain.receiver()
        # Moving fixes, not the last known position that the driver reports meanwhile.
        tpv, used = fixes(port, count=8, seconds=60)
        moving = len(tpv) >= 3 and tpv[-1]["lon"] > tpv[0]["lon"] + 1e-5
        print("after the replug: %d 3D fixes, moving: %s" % (len(tpv), moving))
        if not moving:
            problems.append("after the replug gpsd reported no moving fixes (%d fixes)" % len(tpv))
    finally:
        chain.close()
    # A $GP receiver, and multi-constellation receivers that talk $GN, $GL, $GA, $GB.
    for name in ("nmea/telit-he910.log", "nmea-more/ublox-neo-m9n-nmea.log", "nmea-more/quectel-l76k-nmea.log"):
        problems += replay_check(name)
    for p in problems:
        print("FAIL " + p)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
