#!/usr/bin/env python3
"""The time a program reads never runs back at the first fix, from a root made by scripts/setup-root.sh
with only the receiver's device and the TCP port set, a plain quality-1 receiver 800 ms late: frxd
started with the receiver there (a port open), then frxd started again before the receiver is
plugged in. Batches before the first fix carry no time; the fixes' times only grow."""
import os
import shutil
import socket
import subprocess
import sys
import time

from journey_common import fail, free_port, new_root, reg, stop, wait_for_path, wait_for_port

BIN, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])


def read_batches(tcp, fixes_wanted, seconds):
    """GGA sentences from the TCP port until `fixes_wanted` quality-1 ones came."""
    buf, end = b"", time.time() + seconds
    tcp.settimeout(0.5)
    while time.time() < end:
        try:
            data = tcp.recv(4096)
        except socket.timeout:
            continue
        if not data:
            break
        buf += data
        gga = [line for line in buf.decode("ascii", "replace").splitlines() if line.startswith("$GPGGA")]
        if sum(1 for g in gga if g.split(",")[6] == "1") >= fixes_wanted:
            return gga
    fail("fewer than %d fixes within %d s: %s" % (fixes_wanted, seconds, buf[-300:]))


def check(gga, case):
    first = next(i for i, g in enumerate(gga) if g.split(",")[6] == "1")
    early = [g for g in gga[:first] if g.split(",")[1]]
    if early:
        fail("%s: a batch before the first fix has a time: %s (the fix: %s)" % (case, early[-1], gga[first]))
    times = [g.split(",")[1] for g in gga if g.split(",")[1]]
    back = [(a, b) for a, b in zip(times, times[1:]) if b < a]
    if back:
        fail("%s: the time ran back from %s to %s" % (case, *back[0]))
    return first


def main():
    root = new_root(os.path.dirname(BIN), SOURCE, "ferrox-firstfix-")
    procs = []
    try:
        link = os.path.join(root, "receiver")
        reg(BIN, root, r"HKLM\Software\Quorvale\SerialPorts\COM4:", "Device", "sz:" + link)
        tcp_port = free_port()
        reg(BIN, root, r"HKLM\Software\Quorvale\Frxd", "TcpPort", "dword:%d" % tcp_port)
        frxd = [os.path.join(BIN, "frxd"), "--root", root, "--foreground"]
        sim = [os.path.join(BIN, "ferrox-sim"), "receiver", "--link", link, "--latency", "800"]

        def start_frxd():
            procs.insert(0, subprocess.Popen(frxd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            if not wait_for_port(tcp_port):
                fail("frxd does not listen on its TCP port")
            return socket.create_connection(("127.0.0.1", tcp_port), timeout=10)

        # The common case first: the receiver is plugged in when frxd starts (a port open).
        receiver = subprocess.Popen(sim, stderr=subprocess.DEVNULL)
        procs.append(receiver)
        if not wait_for_path(link, 10):
            fail("no simulated receiver")
        tcp = start_frxd()
        opened = check(read_batches(tcp, 4, 40), "frxd started with the receiver there")
        tcp.close()
        stop(procs.pop(0), receiver)
        procs.remove(receiver)
        # Then the receiver plugged in after frxd started: batches without a receiver first.
        tcp = start_frxd()
        time.sleep(2)
        procs.append(subprocess.Popen(sim, stderr=subprocess.DEVNULL))
        late = check(read_batches(tcp, 4, 40), "receiver plugged in late")
        tcp.close()
        print("PASS: %d and %d batches without time before the first fix, no time ran back" % (opened, late))
    finally:
        stop(*procs)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
