"""What the journeys, the peer checks and the benches do with the processes they start: a free
port, waiting for a condition or a file, stopping, failing with one line."""
import os
import signal
import socket
import subprocess
import sys
import time


def free_port():
    """A TCP port of 127.0.0.1 that nobody listens on now."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def stop(*procs):
    """Ends the processes started (None for one never started), last first: SIGTERM, then
    SIGKILL for one that does not end within 10 s."""
    for p in reversed(procs):
        if p is None or p.poll() is not None:
            continue
        p.send_signal(signal.SIGTERM)
        try:
            p.wait(10)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def wait_for(test, seconds):
    """Until test() holds or `seconds` pass; its last answer."""
    end = time.time() + seconds
    while time.time() < end and not test():
        time.sleep(0.05)
    return test()


def wait_for_path(path, seconds=10):
    """Until `path` exists or `seconds` pass; whether it does."""
    return wait_for(lambda: os.path.exists(path), seconds)


def listening(port):
    """Whether something accepts TCP connections on 127.0.0.1:port now."""
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def wait_for_port(port, seconds=10):
    """Until 127.0.0.1:port accepts connections or `seconds` pass; whether it does."""
    return wait_for(lambda: listening(port), seconds)


def need_path(path, seconds=10):
    """Until `path` exists; ends the program with a line naming it when it does not come."""
    if not wait_for_path(path, seconds):
        raise SystemExit("%s did not appear within %d s" % (path, seconds))


def fail(message):
    """Ends the check with one line."""
    print("FAIL: " + message)
    sys.exit(1)
