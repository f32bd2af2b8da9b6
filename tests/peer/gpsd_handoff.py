#!/usr/bin/env python3
"""frxd hands its virtual port to a running gpsd, from a root made by scripts/setup-root.sh with
the receiver's device, a TCP port and GpsdControl set: a gpsd started with a control socket and no
device shows frxd's port and its quality-1 fixes soon after frxd starts (within 10 s: gpsd probes
every serial device it is given, and one probe switches it to 9600 8O1 and waits for three packets,
about 3 s at one batch a second; measured 4 s in all); frxd stopped, gpsd has the device no more
(gpsd started without devices then ends itself); frxd running and gpsd restarted, frxd adds it
again."""
import json
import os
import shutil
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "journey"))
from journey_common import fail, free_port, new_root, reg, stop, wait_for, wait_for_port  # noqa: E402

BIN, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])


def gpsd_reports(port, seconds, command=b'?WATCH={"enable":true,"json":true};'):
    """gpsd's JSON reports for `seconds` after `command`."""
    out, end = [], time.time() + seconds
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(command)
        s.settimeout(0.5)
        buf = b""
        while time.time() < end:
            try:
                data = s.recv(65536)
            except socket.timeout:
                continue
            if not data:
                break
            buf += data
        for line in buf.decode("utf-8", "replace").splitlines():
            try:
                out.append(json.loads(line))
            except ValueError:
                pass
    return out


def devices(port):
    """The paths of gpsd's devices; none when gpsd does not answer."""
    try:
        reports = gpsd_reports(port, 1.5, b"?DEVICES;")
    except OSError:
        return []
    return [d.get("path") for r in reports if r.get("class") == "DEVICES" for d in r.get("devices", [])]


def main():
    if shutil.which("gpsd") is None:
        fail("gpsd is not installed: no peer to hand the port to")
    root = new_root(os.path.dirname(BIN), SOURCE, "ferrox-handoff-")
    control = os.path.join(root, "gpsd.sock")
    procs = []
    try:
        link, vport = os.path.join(root, "receiver"), os.path.join(root, "dev/ttyFRX0")
        reg(BIN, root, r"HKLM\Software\Quorvale\SerialPorts\COM4:", "Device", "sz:" + link)
        reg(BIN, root, r"HKLM\Software\Quorvale\Frxd", "TcpPort", "dword:%d" % free_port())
        reg(BIN, root, r"HKLM\Software\Quorvale\Frxd", "GpsdControl", "sz:" + control)
        gpsd_port = free_port()
        gpsd_cmd = ["gpsd", "-N", "-n", "-F", control, "-S", str(gpsd_port)]
        gpsd = subprocess.Popen(gpsd_cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(gpsd)
        if not wait_for_port(gpsd_port):
            fail("gpsd does not listen")
        procs.append(subprocess.Popen([os.path.join(BIN, "ferrox-sim"), "receiver", "--link", link],
                                      stderr=subprocess.DEVNULL))
        err_path = os.path.join(root, "frxd.err")
        # A program already watching gpsd, as gpspipe -w would be, when frxd starts.
        watch = socket.create_connection(("127.0.0.1", gpsd_port), timeout=5)
        watch.sendall(b'?WATCH={"enable":true,"json":true};')
        watch.settimeout(0.1)
        with open(err_path, "w") as err:
            frxd = subprocess.Popen([os.path.join(BIN, "frxd"), "--root", root, "--foreground"],
                                    stdout=subprocess.DEVNULL, stderr=err)
        procs.append(frxd)
        started, buf, fix = time.time(), b"", None
        while fix is None and time.time() < started + 10:
            try:
                buf += watch.recv(65536)
            except socket.timeout:
                continue
            for line in buf.decode("utf-8", "replace").splitlines():
                if '"class":"TPV"' in line and '"device":"/dev/pts/' in line and json.loads(line).get("mode", 0) >= 2:
                    fix = json.loads(line)
        took = time.time() - started
        watch.close()
        if fix is None:
            fail("gpsd showed no fix from frxd's port within 10 s; frxd said: " + open(err_path).read())
        terminal = os.readlink(vport)  # what gpsd is given: it cannot pass the private root to the link
        if fix["device"] != terminal:
            fail("gpsd's fix came from %s, not frxd's %s" % (fix["device"], terminal))
        stop(frxd)
        procs.remove(frxd)
        # gpsd lets the device go; with no device left and none given at its start it ends itself.
        if wait_for(lambda: gpsd.poll() is None and terminal in devices(gpsd_port), 3):
            fail("gpsd still has %s after frxd stopped" % terminal)
        gone = "gpsd ended itself" if gpsd.poll() is not None else "gpsd lists it no more"
        with open(err_path, "a") as err:
            frxd = subprocess.Popen([os.path.join(BIN, "frxd"), "--root", root, "--foreground"],
                                    stdout=subprocess.DEVNULL, stderr=err)
        procs.append(frxd)
        if not wait_for(lambda: os.path.islink(vport), 10):  # (the terminal's number may come again)
            fail("frxd did not start again")
        terminal = os.readlink(vport)
        # gpsd restarted (as its unit would be): frxd, running, hands it the port again.
        stop(gpsd)
        procs.remove(gpsd)
        gpsd = subprocess.Popen(gpsd_cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(gpsd)
        if not wait_for_port(gpsd_port):
            fail("gpsd does not listen again")
        if not wait_for(lambda: terminal in devices(gpsd_port), 10):
            fail("gpsd restarted: frxd did not add its port again; frxd said: " + open(err_path).read())
        said = [l for l in open(err_path).read().splitlines() if l.startswith("gpsd")]
        print("PASS: gpsd showed frxd's fixes %.1f s after frxd started; frxd stopped: %s; back after gpsd's "
              "restart. frxd said: %s" % (took, gone, said))
    finally:
        stop(*procs)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
