"""The benches' handling of the processes they start: free ports, waiting for files, stopping."""
import os
import signal
import socket
import subprocess
import time


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    p = s.getsockname()[1]
    s.close()
    return p


def wait_for(path, seconds=10):
    """Until `path` exists; ends the bench with a message when it does not come."""
    end = time.time() + seconds
    while time.time() < end and not os.path.exists(path):
        time.sleep(0.05)
    if not os.path.exists(path):
        raise SystemExit("bench: %s did not appear" % path)


def stop(p):
    p.send_signal(signal.SIGTERM)
    try:
        p.wait(10)
    except subprocess.TimeoutExpired:
        p.kill()
