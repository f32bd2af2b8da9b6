"""What every journey does: a data root made by scripts/setup-root.sh, the registry values the README
tells a user to set, waiting for a condition, and failing with one line."""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peer"))
from nmea_common import free_port, stop  # noqa: E402,F401  (re-exported for the journeys)


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def wait_for(test, seconds):
    """Until test() holds or `seconds` pass; its last answer."""
    end = time.time() + seconds
    while time.time() < end and not test():
        time.sleep(0.05)
    return test()


def new_root(bin_dir, source, prefix):
    """A fresh data root as a user makes it."""
    root = tempfile.mkdtemp(prefix=prefix)
    subprocess.run([os.path.join(source, "scripts/setup-root.sh"), root, bin_dir], check=True, capture_output=True,
                   cwd=source)
    return root


def reg(bin_dir, root, key, name, value):
    """One `ferrox-reg set`, as the README shows it."""
    subprocess.run([os.path.join(bin_dir, "ferrox-reg"), "--root", root, "set", key, name, value], check=True)
