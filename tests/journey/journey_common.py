"""What every journey does: a data root made by scripts/setup-root.sh, the registry values the README
tells a user to set, waiting for a condition, and failing with one line."""
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
from processes import fail, free_port, stop, wait_for, wait_for_path, wait_for_port  # noqa: E402,F401  (for the journeys)


def new_root(bin_dir, source, prefix):
    """A fresh data root as a user makes it."""
    root = tempfile.mkdtemp(prefix=prefix)
    subprocess.run([os.path.join(source, "scripts/setup-root.sh"), root, bin_dir], check=True, capture_output=True,
                   cwd=source)
    return root


def reg(bin_dir, root, key, name, value):
    """One `ferrox-reg set`, as the README shows it."""
    subprocess.run([os.path.join(bin_dir, "ferrox-reg"), "--root", root, "set", key, name, value], check=True)


class Lines(threading.Thread):
    """Lines of a stream, each with the time it came."""

    def __init__(self, read):
        super().__init__(daemon=True)
        self.read, self.lines, self.lock = read, [], threading.Lock()
        self.start()

    def run(self):
        buf = b""
        while True:
            try:
                data = self.read()
            except OSError:
                return
            if not data:
                return
            buf += data
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                with self.lock:
                    self.lines.append((time.time(), line.decode("ascii", "replace").strip()))

    def between(self, start, end, prefix):
        with self.lock:
            return [line for t, line in self.lines if start <= t < end and line.startswith(prefix)]


def receiver_and_frxd(bin_dir, root, sim_args, tcp_port, procs):
    """A simulated receiver on <root>/receiver (ferrox-sim receiver with `sim_args`) and frxd on the
    root (its Device and TcpPort already set), both added to `procs`; the TCP port's lines."""
    link = os.path.join(root, "receiver")
    procs.append(subprocess.Popen([os.path.join(bin_dir, "ferrox-sim"), "receiver", "--link", link] + sim_args,
                                  stderr=subprocess.DEVNULL))
    if not wait_for(lambda: os.path.exists(link), 10):
        fail("the simulated receiver did not start")
    procs.append(subprocess.Popen([os.path.join(bin_dir, "frxd"), "--root", root, "--foreground"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    if not wait_for_port(tcp_port):
        fail("frxd's NMEA server does not listen")
    tcp = socket.create_connection(("127.0.0.1", tcp_port))
    return Lines(lambda: tcp.recv(4096))
