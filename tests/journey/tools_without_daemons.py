#!/usr/bin/env python3
"""ferrox-gpsapi, frxd --status, ferrox-cells and a profile switch on a root made by
scripts/setup-root.sh: without frxd and without gpsd every mode exits 1 within 2 s with one line
naming what is missing, and the status says frxd is not running; a root that does not exist is refused (and not made); with frxd and a
simulated receiver (NMEA server on TcpAddress localhost), the default mode prints positions, the
status shows the receiver, its fix and the source, a profile switch from the settings program's
command line reaches a program reading the TCP port, and frxd --stop ends it. A fresh root's
ferrox-cells list says it has no cell files, and ferrox-geoid-table --root remakes the root's geoid
table where the driver reads it."""
import os
import shutil
import socket
import subprocess
import sys
import time

from journey_common import free_port, new_root, reg, stop, wait_for

BIN, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
problems = []


def watch(root, *args, seconds=5):
    start = time.time()
    r = subprocess.run([os.path.join(BIN, "ferrox-gpsapi"), "--root", root, "watch", *args], capture_output=True,
                       text=True, timeout=seconds + 10)
    return r.returncode, r.stdout, r.stderr.strip(), time.time() - start


def expect_refusal(root, args, line):
    code, _, err, took = watch(root, *args)
    if code != 1 or err != "ferrox-gpsapi: " + line or took > 2:
        problems.append("watch %s: exit %d after %.1f s, %r (want 1 within 2 s, %r)" % (" ".join(args), code, took,
                                                                                       err, line))


def frxd(root, option):
    r = subprocess.run([os.path.join(BIN, "frxd"), "--root", root, option], capture_output=True, text=True,
                       timeout=20)
    return r.returncode, r.stdout, r.stderr.strip()


def main():
    root = new_root(os.path.dirname(BIN), SOURCE, "ferrox-tools-")
    procs = []
    try:
        # gpsd is asked for on a port nobody listens on, whatever runs on this machine.
        reg(BIN, root, r"HKLM\Software\Quorvale\Gpsd", "Port", "sz:1")
        expect_refusal(root, [], "frxd is not running on " + root)
        expect_refusal(root, ["--shim"], "frxd is not running on " + root)
        expect_refusal(root, ["--client"], "gpsd not reachable at localhost:1")
        expect_refusal(root, ["--platform"], "gpsd not reachable at localhost:1")
        code, out, err = frxd(root, "--status")
        if code != 1 or err != "frxd: frxd is not running on " + root:
            problems.append("status without frxd: exit %d, %r" % (code, err))
        cells = subprocess.run([os.path.join(BIN, "ferrox-cells"), "--root", root, "list"], capture_output=True,
                               text=True, timeout=20)
        if cells.returncode != 0 or not cells.stdout.startswith("no cell files in %s/Quorvale" % root):
            problems.append("ferrox-cells list on a fresh root: exit %d, %r" % (cells.returncode, cells.stdout))
        # The geoid table remade into the root where the driver reads it, not into ./data.
        table = os.path.join(root, "Windows", "AltitudeTable_1.RAW")
        os.remove(table)
        geoid = subprocess.run([os.path.join(BIN, "ferrox-geoid-table"), "--root", root], capture_output=True,
                               text=True, timeout=60, cwd=root)
        shipped = open(os.path.join(SOURCE, "data", "AltitudeTable_1.RAW"), "rb").read()
        if geoid.returncode != 0 or not os.path.exists(table) or open(table, "rb").read() != shipped or \
                os.path.exists(os.path.join(root, "data")):
            problems.append("ferrox-geoid-table --root: exit %d, %r" % (geoid.returncode, geoid.stderr))
        missing = os.path.join(root, "nothing-here")
        expect_refusal(missing, [], "no data root at %s (see --root)" % missing)
        if os.path.exists(missing):
            problems.append("a read-only command made the data root " + missing)
        # the README's TcpPort (free for tests running side by side) and TcpAddress as a host name
        tcp_port = free_port()
        reg(BIN, root, r"HKLM\Software\Quorvale\Frxd", "TcpPort", "dword:%d" % tcp_port)
        reg(BIN, root, r"HKLM\Software\Quorvale\Frxd", "TcpAddress", "sz:localhost")
        link = os.path.join(root, "receiver")
        reg(BIN, root, r"HKLM\Software\Quorvale\SerialPorts\COM4:", "Device", "sz:" + link)
        procs.append(subprocess.Popen([os.path.join(BIN, "ferrox-sim"), "receiver", "--link", link],
                                      stderr=subprocess.DEVNULL))
        procs.append(subprocess.Popen([os.path.join(BIN, "frxd"), "--root", root, "--foreground"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_for(lambda: os.path.exists(os.path.join(root, "frxd.sock")), 10)
        code, out, err, took = watch(root, "--count", "2", seconds=20)
        if code != 0 or len(out.splitlines()) != 2:
            problems.append("the default mode with frxd running: exit %d, %r, %r" % (code, out, err))
        code, out, err = frxd(root, "--status")
        for want in ("frxd: running, pid %d, on %s" % (procs[-1].pid, root), "source: COM4:",
                     "COM4: %s: fix (8 satellites in use)" % link, "logs: off (EnableLogs 0)"):
            if want not in out.splitlines():
                problems.append("status with frxd running lacks %r: %r" % (want, out))
        if not any(line.startswith("last fix: ") and line.endswith(" s ago") for line in out.splitlines()):
            problems.append("status shows no last fix: %r" % out)
        # A profile switch from the settings program's command line reaches a program reading the
        # TCP port ($PGRMT's profile field) while the driver reloads its settings.
        reader = socket.create_connection(("127.0.0.1", tcp_port), timeout=10)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        switch = subprocess.run([os.path.join(BIN, "ferrox-settings"), "--root", root, "Profile=2"], env=env,
                                capture_output=True, text=True, timeout=30)
        seen, end = b"", time.time() + 10

        def profile_two():
            return any(l.startswith(b"$PGRMT") and l.split(b",")[5] == b"2" for l in seen.split(b"\r\n")[:-1])

        while time.time() < end and not profile_two():
            seen += reader.recv(4096)
        reader.close()
        if switch.returncode != 0 or not profile_two():
            problems.append("Profile=2 (exit %d, %r) never reached the TCP port: %r" %
                            (switch.returncode, switch.stderr, seen[-300:]))
        code, out, err = frxd(root, "--stop")
        if code != 0 or procs[-1].wait(timeout=5) is None or frxd(root, "--status")[0] != 1:
            problems.append("frxd --stop: exit %d, %r %r" % (code, out, err))
    finally:
        stop(*procs)
        shutil.rmtree(root, ignore_errors=True)
    for p in problems:
        print("FAIL: " + p)
    if problems:
        sys.exit(1)
    print("PASS: each mode names what is missing within 2 s; the default mode works with frxd")


if __name__ == "__main__":
    main()
