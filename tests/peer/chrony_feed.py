#!/usr/bin/env python3
"""frxd gives a time daemon the receiver's time: from a root made by scripts/setup-root.sh with the
receiver's device and the driver's ChronySocket set, a real chronyd (a private configuration: a
SOCK refclock at that path, its command socket in a private folder, the system clock left alone)
selects frxd's samples. The simulated receiver reports each fix 300 ms late: with the profile's
AutoLag on, the offset chronyd sees is under 20 ms; with it off, the samples go uncorrected and
the offset is about the latency (both runs shown)."""
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "journey"))
from journey_common import fail, free_port, new_root, reg, stop, wait_for_path  # noqa: E402

BIN, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
LATENCY_MS = 300
CHRONY_CONF = """refclock SOCK {refclock} refid FRX poll 1 filter 2
bindcmdaddress {command}
cmdport 0
port 0
pidfile {folder}/chronyd.pid
driftfile {folder}/drift
"""


def chronyc(command, what):
    return subprocess.run(["chronyc", "-h", command, "-c", "-n", what], capture_output=True, text=True).stdout


def selected(command):
    """Whether chronyd has selected the refclock FRX as its source."""
    for line in chronyc(command, "sources").splitlines():
        f = line.split(",")
        if len(f) >= 10 and f[2] == "FRX":
            return f[1] == "*"
    return False


def correction(command):
    """How far chronyd holds the system clock off the time it follows (s; its tracking report's
    "System time"). Under -x it steers a clock of its own, so this is the whole offset it found."""
    f = chronyc(command, "tracking").strip().split(",")
    return float(f[4]) if len(f) > 4 and f[1] == "FRX" else None


def run(auto_lag):
    """One run: frxd and chronyd, until chronyd has selected the refclock; its offsets then."""
    root = new_root(os.path.dirname(BIN), SOURCE, "ferrox-chrony-")
    folder = tempfile.mkdtemp(prefix="ferrox-chronyd-")  # 0700, as chronyd wants its command socket's folder
    refclock, command = os.path.join(folder, "refclock.sock"), os.path.join(folder, "chronyd.sock")
    procs = []
    try:
        link = os.path.join(root, "receiver")
        reg(BIN, root, r"HKLM\Software\Quorvale\SerialPorts\COM4:", "Device", "sz:" + link)
        reg(BIN, root, r"HKLM\Software\Quorvale\Frxd", "TcpPort", "dword:%d" % free_port())
        reg(BIN, root, r"HKLM\Software\Quorvale\FerroxDriver", "ChronySocket", "sz:" + refclock)
        if auto_lag:
            reg(BIN, root, r"HKLM\Software\Quorvale\FerroxDriver\Profile1", "AutoLag", "dword:1")
        conf = os.path.join(folder, "chrony.conf")
        with open(conf, "w") as f:
            f.write(CHRONY_CONF.format(refclock=refclock, command=command, folder=folder))
        chrony_log = open(os.path.join(folder, "chronyd.log"), "w")
        # As the test's own user: its folders are that user's.
        user = pwd.getpwuid(os.getuid()).pw_name
        procs.append(subprocess.Popen(["chronyd", "-x", "-d", "-u", user, "-f", conf], stdout=chrony_log, stderr=chrony_log))
        if not wait_for_path(refclock, 10):
            fail("chronyd made no refclock socket: " + open(os.path.join(folder, "chronyd.log")).read())
        procs.append(subprocess.Popen([os.path.join(BIN, "ferrox-sim"), "receiver", "--link", link,
                                       "--latency", str(LATENCY_MS)], stderr=subprocess.DEVNULL))
        if not wait_for_path(link, 10):
            fail("the simulated receiver did not start")
        err_path = os.path.join(root, "frxd.err")
        # The machine's clock is the reference the latency is measured against (as NTP keeps it).
        env = dict(os.environ, FERROX_REFERENCE_CLOCK="trusted")
        with open(err_path, "w") as err:
            procs.append(subprocess.Popen([os.path.join(BIN, "frxd"), "--root", root, "--foreground"],
                                          stdout=subprocess.DEVNULL, stderr=err, env=env))
        # No program opens the port: frxd reads the receiver for the daemon by itself.
        offsets, end = [], time.time() + 60
        while len(offsets) < 3 and time.time() < end:  # three looks a poll interval apart once selected
            if selected(command) and correction(command) is not None:
                offsets.append(correction(command))
            time.sleep(2)
        if len(offsets) < 3:
            fail("chronyd did not select frxd's refclock within 60 s (sources: %s); frxd said: %s"
                 % (chronyc(command, "sources"), open(err_path).read()))
        said = [l for l in open(err_path).read().splitlines() if "ChronySocket" in l]
        return offsets, said
    finally:
        stop(*reversed(procs))
        shutil.rmtree(root, ignore_errors=True)
        shutil.rmtree(folder, ignore_errors=True)


def main():
    for program in ("chronyd", "chronyc"):
        if shutil.which(program) is None:
            fail(program + " is not installed: no time daemon to feed")
    corrected, said = run(True)
    worst = abs(corrected[-1])
    if worst >= 0.020:
        fail("AutoLag on: chronyd's offset is %.1f ms (of %s), not under 20 ms; frxd said: %s"
             % (worst * 1000, ["%.1f" % (o * 1000) for o in corrected], said))
    raw, said_raw = run(False)
    # Uncorrected, the receiver's time is its latency behind the system clock.
    if abs(abs(raw[-1]) - LATENCY_MS / 1000) >= 0.050:
        fail("AutoLag off: chronyd's offsets %s ms are not about -%d ms" % (["%.1f" % (o * 1000) for o in raw],
                                                                           LATENCY_MS))
    print("PASS: receiver %d ms late; chronyd selected frxd's refclock. AutoLag on: offsets %s ms (frxd: %s); "
          "AutoLag off: %s ms (frxd: %s)" % (LATENCY_MS, ["%.1f" % (o * 1000) for o in corrected], said,
                                             ["%.1f" % (o * 1000) for o in raw], said_raw))


if __name__ == "__main__":
    main()
