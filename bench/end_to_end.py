#!/usr/bin/env python3
"""End-to-end measurement through real processes.

Accuracy: ferrox-sim (with --truth) -> frxd -> a reader on the virtual port that stamps every
$GPRMC on arrival; the same reader on the simulator's own port gives the raw baseline. Each
position is compared with the true position at its arrival.
(What serving costs is bench/serving.py's.)
Usage: end_to_end.py BUILD_BIN [SECONDS]   (default 40 s per phase)"""
import bisect
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from processes import free_port, need_path, stop  # noqa: E402

BIN = sys.argv[1]
SECONDS = float(sys.argv[2]) if len(sys.argv) > 2 else 40
HERE = os.path.dirname(os.path.abspath(__file__))


def ddmm(v, hemi):
    d = math.floor(float(v) / 100)
    x = d + (float(v) - d * 100) / 60
    return -x if hemi in "SW" else x


def read_positions(path, seconds):
    """(arrival time, lat, lon) of every valid $GPRMC read from a serial device."""
    subprocess.run(["stty", "-F", path, "raw", "-echo"], capture_output=True)
    out = []
    fd = os.open(path, os.O_RDONLY | os.O_NOCTTY)
    buf = b""
    end = time.time() + seconds
    while time.time() < end:
        chunk = os.read(fd, 4096)
        now = time.time()
        buf += chunk
        while b"\n" in buf:
            line, buf = buf.split(b"\n", 1)
            f = line.decode(errors="replace").strip().split(",")
            if f[0] == "$GPRMC" and len(f) > 6 and f[2] == "A":
                out.append((now, ddmm(f[3], f[4]), ddmm(f[5], f[6])))
    os.close(fd)
    return out


def load_truth(path):
    times, points = [], []
    for line in open(path):
        stamp, lat, lon = line.split()
        t = time.mktime(time.strptime(stamp[:19], "%Y-%m-%dT%H:%M:%S")) - time.timezone + float(stamp[19:-1] or 0)
        times.append(t)
        points.append((float(lat), float(lon)))
    return times, points


def errors(samples, truth):
    times, points = truth
    result = []
    for t, lat, lon in samples:
        i = bisect.bisect_left(times, t)
        if i == 0 or i >= len(times):
            continue
        f = (t - times[i - 1]) / (times[i] - times[i - 1])
        tl = points[i - 1][0] + (points[i][0] - points[i - 1][0]) * f
        tn = points[i - 1][1] + (points[i][1] - points[i - 1][1]) * f
        result.append(math.hypot((lat - tl) * 111195, (lon - tn) * 111195 * math.cos(math.radians(tl))))
    return result


def stats(e):
    e = sorted(e)
    if not e:
        return float("nan"), float("nan")
    return sum(e) / len(e), e[min(len(e) - 1, int(math.ceil(0.95 * len(e))) - 1)]


def main():
    root = tempfile.mkdtemp(prefix="ferrox-e2e-")
    procs = []
    try:
        subprocess.run([os.path.join(HERE, "../scripts/setup-root.sh"), root, os.path.dirname(BIN)], check=True,
                       capture_output=True, cwd=os.path.join(HERE, ".."))
        link, truth = os.path.join(root, "receiver"), os.path.join(root, "truth.txt")
        reg = lambda *a: subprocess.run([os.path.join(BIN, "ferrox-reg"), "--root", root, *a], check=True)
        nmea_port = free_port()
        reg("set", r"HKLM\Software\Quorvale\SerialPorts\COM4:", "Device", "sz:" + link)
        reg("set", r"HKLM\Software\Quorvale\Frxd", "TcpPort", "dword:%d" % nmea_port)
        sim = subprocess.Popen([os.path.join(BIN, "ferrox-sim"), "receiver", "--link", link, "--speed", "50",
                                "--latency", "1000", "--noise", "3", "--truth", truth], stderr=subprocess.DEVNULL)
        procs.append(sim)
        need_path(link)
        host = subprocess.Popen([os.path.join(BIN, "frxd"), "--root", root, "--foreground"], stderr=subprocess.DEVNULL)
        procs.append(host)
        need_path(os.path.join(root, "dev/ttyFRX0"))
        time.sleep(3)
        # Accuracy: ours through the virtual port, then the receiver's own port.
        phase = min(SECONDS, 40)
        ours = errors(read_positions(os.path.join(root, "dev/ttyFRX0"), phase), load_truth(truth))
        raw = errors(read_positions(link, phase), load_truth(truth))
        (om, op), (rm, rp) = stats(ours), stats(raw)
        print("Straight road at 50 km/h, receiver latency 1000 ms, 3 m white noise, %.0f s each:" % phase)
        print("  raw receiver: mean %.1f m, p95 %.1f m (%d fixes)" % (rm, rp, len(raw)))
        print("  through frxd: mean %.1f m, p95 %.1f m (%d fixes); ratio %.2f" % (om, op, len(ours), om / rm))
    finally:
        for p in procs:
            if p.poll() is None:
                stop(p)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
