#!/usr/bin/env python3
"""A peer check whose input is missing fails with one line, never passes having compared nothing:
no captures at all, a capture without gpsd's .chk, or no decoder."""
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
decoder, data = sys.argv[1], sys.argv[2]
problems = []


def run(check, decoder_path, folder):
    r = subprocess.run([sys.executable, os.path.join(HERE, check), decoder_path, folder], capture_output=True,
                       text=True)
    return r.returncode, r.stdout


with tempfile.TemporaryDirectory() as tmp:
    empty = os.path.join(tmp, "empty")
    os.mkdir(empty)
    lone = os.path.join(tmp, "lone")
    os.mkdir(lone)
    shutil.copy(os.path.join(data, "quectel.log"), lone)  # its .chk left behind
    for check in ("decode_vs_gpsd.py", "roundtrip_gpsd.py"):
        for name, folder, dec in (("no captures", empty, decoder), ("capture without .chk", lone, decoder),
                                  ("no decoder", data, os.path.join(tmp, "missing-decoder"))):
            code, out = run(check, dec, folder)
            ok = code != 0 and "missing input" in out
            print(f"{'ok' if ok else 'FAIL'} {check}, {name}: exit {code}, {out.strip().splitlines()[-1:]}")
            if not ok:
                problems.append(f"{check} with {name} did not fail")
sys.exit(1 if problems else 0)
