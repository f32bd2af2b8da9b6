#!/usr/bin/env python3
"""What serving costs: frxd against gpsd on the same receiver, measured in one run.

Cost: CPU time and peak resident memory (and at the end the proportional and anonymous memory) of frxd
serving N TCP clients (10 and 100) with a
receiver at 1 Hz and at 10 Hz, then of gpsd serving the same N clients (NMEA watch) from the same
kind of receiver; as ratios frxd / gpsd.
Latency: this script is the receiver (a pseudo-terminal it writes bursts on at 10 Hz, standing,
each burst's position a serial number); from the end of each burst's write to its batch being
readable on frxd's virtual port and on its TCP server: median and p99.
Usage: serving.py BUILD_BIN [SECONDS] [BURSTS]   (default 120 s per cost phase, 1000 bursts)"""
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from processes import free_port, need_path, stop  # noqa: E402

BIN = sys.argv[1]
SECONDS = float(sys.argv[2]) if len(sys.argv) > 2 else 120
BURSTS = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
HERE = os.path.dirname(os.path.abspath(__file__))


def cost(pid):
    """CPU seconds (to the nanosecond, the threads' run times summed) and peak resident memory
    (kB) of a process."""
    cpu = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                cpu += int(f.read().split()[0]) / 1e9
        except FileNotFoundError:  # a thread that just ended
            pass
    peak = 0
    for line in open("/proc/%d/status" % pid):
        if line.startswith("VmHWM:"):
            peak = int(line.split()[1])
    return cpu, peak


def shares(pid):
    """Proportional resident memory (the libraries it shares counted in part) and anonymous memory
    (what the process itself has written: heap, stacks, relocated library data), kB, now."""
    pss = anon = 0
    for line in open("/proc/%d/smaps_rollup" % pid):
        if line.startswith("Pss:"):
            pss = int(line.split()[1])
    for line in open("/proc/%d/status" % pid):
        if line.startswith("RssAnon:"):
            anon = int(line.split()[1])
    return pss, anon


def clients(port, count, seconds, greeting=None):
    """Bytes each of `count` clients received over `seconds`."""
    stop_at = time.time() + seconds
    received = [0] * count
    socks = []
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", port))
        if greeting:
            s.sendall(greeting)
        s.setblocking(False)
        socks.append(s)
    import selectors
    sel = selectors.DefaultSelector()
    for i, s in enumerate(socks):
        sel.register(s, selectors.EVENT_READ, i)
    while time.time() < stop_at:
        if not sel.get_map():  # all closed: the measured time still runs out
            time.sleep(0.5)
            continue
        for key, _ in sel.select(timeout=0.5):
            try:
                data = key.fileobj.recv(65536)
            except BlockingIOError:
                continue
            except ConnectionResetError:  # a server that refuses clients beyond its limit
                data = b""
            if not data:
                sel.unregister(key.fileobj)
                continue
            received[key.data] += len(data)
    for s in socks:
        s.close()
    return received


class Root:
    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="ferrox-serving-")
        subprocess.run([os.path.join(HERE, "../scripts/setup-root.sh"), self.path, os.path.dirname(BIN)], check=True,
                       capture_output=True, cwd=os.path.join(HERE, ".."))

    def reg(self, key, name, value):
        subprocess.run([os.path.join(BIN, "ferrox-reg"), "--root", self.path, "set", "HKLM\\" + key, name, value],
                       check=True)


def measure_cost(count, rate):
    """(frxd cpu, frxd peak kB, bytes) and the same for gpsd, `count` clients, receiver at `rate` Hz."""
    root = Root()
    procs = []
    try:
        link = os.path.join(root.path, "receiver")
        port = free_port()
        root.reg("Software\\Quorvale\\SerialPorts\\COM4:", "Device", "sz:" + link)
        root.reg("Software\\Quorvale\\Frxd", "TcpPort", "dword:%d" % port)
        root.reg("Software\\Quorvale\\FerroxDriver", "SleepTime", "dword:%d" % (1000 // rate))
        sim = subprocess.Popen([os.path.join(BIN, "ferrox-sim"), "receiver", "--link", link, "--rate", str(rate),
                                "--noise", "3"], stderr=subprocess.DEVNULL)
        procs.append(sim)
        need_path(link)
        host = subprocess.Popen([os.path.join(BIN, "frxd"), "--root", root.path, "--foreground"],
                                stderr=subprocess.DEVNULL)
        procs.append(host)
        need_path(os.path.join(root.path, "dev/ttyFRX0"))
        time.sleep(3)
        c0 = cost(host.pid)
        got = clients(port, count, SECONDS)
        c1 = cost(host.pid)
        fs = shares(host.pid)
        stop(host)
        if min(got) == 0:
            raise SystemExit("serving: %d of %d frxd clients got nothing" % (got.count(0), count))
        gport = free_port()
        gpsd = subprocess.Popen(["gpsd", "-N", "-n", "-b", "-S", str(gport), link], stderr=subprocess.DEVNULL)
        procs.append(gpsd)
        time.sleep(2)
        g0 = cost(gpsd.pid)
        ggot = clients(gport, count, SECONDS, b'?WATCH={"enable":true,"nmea":true};\n')
        g1 = cost(gpsd.pid)
        gs = shares(gpsd.pid)
        if max(ggot) == 0:
            raise SystemExit("serving: no gpsd client got anything")
        # gpsd serves a limited number of clients; the others are counted, not failed.
        return (c1[0] - c0[0], c1[1], sum(got), count, fs), (g1[0] - g0[0], g1[1], sum(ggot), count - ggot.count(0), gs)
    finally:
        for p in procs:
            if p.poll() is None:
                stop(p)
        shutil.rmtree(root.path, ignore_errors=True)


def nmea(body):
    c = 0
    for ch in body.encode():
        c ^= ch
    return "$%s*%02X\r\n" % (body, c)


def burst(serial):
    """A standing receiver's burst whose latitude minutes carry `serial`."""
    now = time.time()  # one reading: the seconds and their fraction must agree
    t = time.gmtime(now)
    hhmmss = time.strftime("%H%M%S", t) + ".%02d" % int((now % 1) * 100)
    date = time.strftime("%d%m%y", t)
    lat = "4807.%04d" % (serial % 10000)
    return (nmea("GPRMC,%s,A,%s,N,01134.0000,E,0.0,0.0,%s,,,A" % (hhmmss, lat, date)) +
            nmea("GPGGA,%s,%s,N,01134.0000,E,1,08,1.0,520.0,M,47.0,M,," % (hhmmss, lat)) +
            nmea("GPGSA,A,3,02,05,08,11,14,17,20,23,,,,,1.8,1.0,1.5")).encode()


def arrivals(read_chunks, found, done):
    """Arrival time of each serial number's $GPRMC from a reader of raw chunks."""
    buf = b""
    for chunk in read_chunks():
        now = time.monotonic()
        buf += chunk
        while b"\n" in buf:
            line, buf = buf.split(b"\n", 1)
            f = line.split(b",")
            if f[0] == b"$GPRMC" and len(f) > 3 and f[2] == b"A":
                serial = int(round(float(f[3].decode()[4:]) * 10000))
                found.setdefault(serial, now)
        if done.is_set():
            return


def measure_latency():
    root = Root()
    procs = []
    master, slave = os.openpty()
    tty.setraw(slave)
    try:
        port = free_port()
        root.reg("Software\\Quorvale\\SerialPorts\\COM4:", "Device", "sz:" + os.ttyname(slave))
        root.reg("Software\\Quorvale\\Frxd", "TcpPort", "dword:%d" % port)
        root.reg("Software\\Quorvale\\FerroxDriver", "SleepTime", "dword:100")
        # A standing fix is passed on as it is: no movement speed or course, no advance.
        for name, value in (("DeltaDistance", 30), ("EnableSpeed", 0), ("EnableCourse", 0), ("LagAdvance", 0)):
            root.reg("Software\\Quorvale\\FerroxDriver\\Profile1", name, "dword:%d" % value)
        host = subprocess.Popen([os.path.join(BIN, "frxd"), "--root", root.path, "--foreground"],
                                stderr=subprocess.DEVNULL)
        procs.append(host)
        pty_path = os.path.join(root.path, "dev/ttyFRX0")
        need_path(pty_path)
        done = threading.Event()
        ends, on_pty, on_tcp = {}, {}, {}
        fd = os.open(pty_path, os.O_RDONLY | os.O_NOCTTY)
        tty.setraw(fd)
        sock = socket.create_connection(("127.0.0.1", port))
        sock.settimeout(0.5)

        def pty_chunks():
            while not done.is_set():
                yield os.read(fd, 4096)

        def tcp_chunks():
            while not done.is_set():
                try:
                    yield sock.recv(65536)
                except socket.timeout:
                    continue

        readers = [threading.Thread(target=arrivals, args=(pty_chunks, on_pty, done)),
                   threading.Thread(target=arrivals, args=(tcp_chunks, on_tcp, done))]
        for r in readers:
            r.daemon = True
            r.start()
        warm = 30  # the driver finds the receiver and learns its cycle first
        start = time.monotonic()
        for k in range(BURSTS + warm):
            due = start + k * 0.1
            time.sleep(max(0, due - time.monotonic()))
            os.write(master, burst(k))
            ends[k] = time.monotonic()
            if k % 200 == 0:
                print("  burst %d of %d" % (k, BURSTS + warm), file=sys.stderr)
        time.sleep(1)
        done.set()
        for r in readers:
            r.join()
        result = {}
        for name, found in (("pty", on_pty), ("TCP", on_tcp)):
            lat = [(found[k] - ends[k]) * 1000 for k in range(warm, BURSTS + warm) if k in found]
            if len(lat) < BURSTS // 2:
                raise SystemExit("serving: only %d of %d bursts came out on the %s" % (len(lat), BURSTS, name))
            lat.sort()
            result[name] = (statistics.median(lat), lat[min(len(lat) - 1, int(0.99 * len(lat)))], len(lat))
        os.close(fd)
        sock.close()
        return result
    finally:
        for p in procs:
            if p.poll() is None:
                stop(p)
        os.close(master)
        os.close(slave)
        shutil.rmtree(root.path, ignore_errors=True)


def main():
    if not shutil.which("gpsd"):
        raise SystemExit("serving: gpsd is not installed (scripts/install-deps.sh installs it)")
    print("Burst end to batch readable, %d bursts at 10 Hz:" % BURSTS)
    for name, (median, p99, n) in measure_latency().items():
        print("  %-4s median %.2f ms, p99 %.2f ms (%d batches)" % (name, median, p99, n))
    print("Serving cost over %.0f s each, frxd against gpsd on the same simulated receiver:" % SECONDS)
    for rate in (1, 10):
        for count in (10, 100):
            (fc, fm, fb, fn, fs), (gc, gm, gb, gn, gs) = measure_cost(count, rate)
            print("  %3d clients at %2d Hz: frxd CPU %6.2f s, peak RSS %6d kB, %9d bytes to %d; gpsd CPU %6.2f s, "
                  "peak RSS %6d kB, %9d bytes to %d; frxd/gpsd CPU %.2f, RSS %.2f" %
                  (count, rate, fc, fm, fb, fn, gc, gm, gb, gn, fc / gc if gc else float("inf"), fm / gm))
            print("      at the end: frxd PSS %d kB, anonymous %d kB; gpsd PSS %d kB, anonymous %d kB; frxd/gpsd PSS "
                  "%.2f, anonymous %.2f" % (fs[0], fs[1], gs[0], gs[1], fs[0] / gs[0], fs[1] / gs[1]))
            sys.stdout.flush()


if __name__ == "__main__":
    main()
