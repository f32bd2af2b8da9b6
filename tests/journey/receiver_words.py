#!/usr/bin/env python3
"""frxd says why there is no receiver, from a root made by scripts/setup-root.sh with only
COM4:'s device and the TCP port set and a program reading: on standard error, one line per change
of state: a device that is not there yet, then the receiver plugged in (NMEA at its baud rate, no
fix yet, a fix); and, on a second start, a device it has no permission to open."""
import os
import shutil
import socket
import subprocess
import sys
import threading
import time

from journey_common import fail, free_port, new_root, reg, stop

BIN, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])


class Frxd:
    """frxd on `root` with its standard error collected, and a program reading its TCP port."""

    def __init__(self, root, tcp_port):
        self.proc = subprocess.Popen([os.path.join(BIN, "frxd"), "--root", root, "--foreground"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.lines = []
        threading.Thread(target=self.collect, daemon=True).start()
        end = time.time() + 10
        self.reader = None
        while time.time() < end and self.reader is None:
            try:
                self.reader = socket.create_connection(("127.0.0.1", tcp_port), timeout=1)
            except OSError:
                time.sleep(0.1)
        if self.reader is None:
            fail("frxd's TCP port does not answer")
        threading.Thread(target=self.drain, daemon=True).start()

    def collect(self):
        for line in self.proc.stderr:
            self.lines.append(line.rstrip("\n"))

    def drain(self):
        try:
            while self.reader.recv(4096):
                pass
        except OSError:
            pass

    def wait_line(self, line, seconds):
        end = time.time() + seconds
        while time.time() < end and line not in self.lines:
            time.sleep(0.05)
        if line not in self.lines:
            fail("frxd never said %r; it said %s" % (line, self.lines))

    def end(self):
        self.reader.close()
        stop(self.proc)


def main():
    root = new_root(os.path.dirname(BIN), SOURCE, "ferrox-words-")
    procs = []
    try:
        tcp_port = free_port()
        reg(BIN, root, r"HKLM\Software\Quorvale\Frxd", "TcpPort", "dword:%d" % tcp_port)
        link = os.path.join(root, "ttyACM0")
        reg(BIN, root, r"HKLM\Software\Quorvale\SerialPorts\COM4:", "Device", "sz:" + link)
        frxd = Frxd(root, tcp_port)
        frxd.wait_line("COM4: %s: no such device, waiting for it" % link, 15)
        procs.append(subprocess.Popen([os.path.join(BIN, "ferrox-sim"), "receiver", "--link", link, "--baud", "9600",
                                       "--no-fix-for", "3"], stderr=subprocess.DEVNULL))
        frxd.wait_line("COM4: NMEA at 9600 baud", 20)
        frxd.wait_line("COM4: no fix yet (8 satellites in view)", 10)
        frxd.wait_line("COM4: fix (8 satellites in use)", 10)
        time.sleep(2)
        said = [l for l in frxd.lines if l.startswith("COM4:")]
        if len(said) != len(set(said)):
            fail("a state said more than once in a row: %s" % said)
        frxd.end()
        # A device it may not open: a file without permissions for an ordinary user; for root,
        # a file of the kernel's that nobody may open for writing.
        denied = os.path.join(root, "ttyUSB0")
        if os.geteuid() == 0:
            denied = "/sys/devices/system/cpu/online"
        else:
            open(denied, "w").close()
            os.chmod(denied, 0)
        reg(BIN, root, r"HKLM\Software\Quorvale\SerialPorts\COM4:", "Device", "sz:" + denied)
        frxd = Frxd(root, tcp_port)
        frxd.wait_line("COM4: %s: permission denied (add your user to the dialout group)" % denied, 15)
        frxd.end()
        print("PASS: %s" % said)
    finally:
        stop(*procs)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
