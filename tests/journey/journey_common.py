"""What every journey does: a data root made by scripts/setup-root.sh, the registry values the README
tells a user to set, waiting for a condition, and failing with one line."""
import os
import subprocess
import sys
import tempfile

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
