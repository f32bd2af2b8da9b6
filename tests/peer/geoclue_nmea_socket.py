#!/usr/bin/env python3
"""The desktop's location service reads frxd's NMEA socket: from a root made by
scripts/setup-root.sh with the receiver's device and NmeaSocket set, geoclue itself (its installed
configuration, only the socket given on its command line) runs on a private bus standing in for
the system bus, its demo agent authorises, and its demo client prints positions on the simulated
route."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "journey"))
from journey_common import fail, new_root, reg, stop, wait_for  # noqa: E402

BIN, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
GEOCLUE = "/usr/libexec/geoclue"
DEMOS = "/usr/libexec/geoclue-2.0/demos"
START = (48.137, 11.575)  # where the simulated route begins (50 km/h east)

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=%s</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/>
  </policy>
</busconfig>
"""


def bus_call(bus, method, *args):
    r = subprocess.run(["dbus-send", "--bus=unix:path=" + bus, "--print-reply", "--dest=org.freedesktop.DBus",
                        "/org/freedesktop/DBus", "org.freedesktop.DBus." + method, *args],
                       capture_output=True, text=True, timeout=5)
    return r.stdout


def has_owner(bus, name):
    return "boolean true" in bus_call(bus, "NameHasOwner", "string:" + name)


def connections(bus):
    """The unique names on the bus but the bus's own and the caller's."""
    return [n for n in re.findall(r'string "(:[\d.]+)"', bus_call(bus, "ListNames"))][:-1]


def main():
    for program in (GEOCLUE, DEMOS + "/agent", DEMOS + "/where-am-i"):
        if not os.access(program, os.X_OK):
            fail(program + " is not installed (packages geoclue-2.0 and geoclue-2-demo)")
    if shutil.which("dbus-daemon") is None:
        fail("dbus-daemon is not installed")
    root = new_root(os.path.dirname(BIN), SOURCE, "ferrox-geoclue-")
    work = tempfile.mkdtemp(prefix="ferrox-bus-")
    procs = []
    try:
        link, sock = os.path.join(root, "receiver"), os.path.join(work, "nmea.sock")
        reg(BIN, root, r"HKLM\Software\Quorvale\SerialPorts\COM4:", "Device", "sz:" + link)
        reg(BIN, root, r"HKLM\Software\Quorvale\Frxd", "TcpPort", "dword:0")
        reg(BIN, root, r"HKLM\Software\Quorvale\Frxd", "NmeaSocket", "sz:" + sock)
        procs.append(subprocess.Popen([os.path.join(BIN, "ferrox-sim"), "receiver", "--link", link],
                                      stderr=subprocess.DEVNULL))
        procs.append(subprocess.Popen([os.path.join(BIN, "frxd"), "--root", root, "--foreground"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        if not wait_for(lambda: os.path.exists(sock), 10):
            fail("frxd made no NMEA socket at " + sock)
        bus = os.path.join(work, "bus")
        with open(os.path.join(work, "bus.conf"), "w") as f:
            f.write(BUS_CONFIG % bus)
        procs.append(subprocess.Popen(["dbus-daemon", "--config-file=" + os.path.join(work, "bus.conf"), "--nofork"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        if not wait_for(lambda: os.path.exists(bus), 10):
            fail("the private bus did not start")
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS="unix:path=" + bus)
        procs.append(subprocess.Popen([GEOCLUE, "-t", "0", "-u", sock], env=env, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL))
        if not wait_for(lambda: has_owner(bus, "org.freedesktop.GeoClue2"), 15):
            fail("geoclue did not come on the bus")
        procs.append(subprocess.Popen([DEMOS + "/agent"], env=env, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL))
        # The agent is on the bus once it has a connection name beyond geoclue's and the bus's own.
        if not wait_for(lambda: len(connections(bus)) >= 2, 15):
            fail("geoclue's demo agent did not come on the bus")
        client = subprocess.run(["timeout", "30", DEMOS + "/where-am-i", "-t", "20", "-a", "8"], env=env,
                                capture_output=True, text=True)
        lats = [float(v) for v in re.findall(r"Latitude:\s+(-?[\d.]+)", client.stdout)]
        lons = [float(v) for v in re.findall(r"Longitude:\s+(-?[\d.]+)", client.stdout)]
        if not lats or not lons:
            fail("geoclue's client printed no position: " + (client.stdout + client.stderr)[-500:])
        far = [(a, o) for a, o in zip(lats, lons) if abs(a - START[0]) > 0.01 or abs(o - START[1]) > 0.05]
        if far:
            fail("geoclue gave positions off the route: %s" % far[:3])
        print("PASS: geoclue read frxd's NMEA socket: %d positions on the route, the first %.6f, %.6f"
              % (len(lats), lats[0], lons[0]))
    finally:
        stop(*procs)
        shutil.rmtree(root, ignore_errors=True)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
