#!/usr/bin/env python3
"""The strict reading never changes: ferrox-decode --strict gives, for every capture, the records
(--json) and batches (--nmea) recorded in tests/data/strict-golden.txt (made before the default
reading learned other talkers). Times the decoder takes from the clock (cycles without a time or
date) are masked, as they differ from run to run.

Usage: strict_golden.py DECODER GOLDEN FOLDER... [--write [--legacy]]"""
import datetime
import hashlib
import os
import re
import subprocess
import sys

from nmea_common import require_inputs


def masked(text, mode):
    today = datetime.datetime.now(datetime.timezone.utc)
    days = {today + datetime.timedelta(days=d) for d in (-1, 0, 1)}  # a run across midnight
    if mode == "--json":
        isos = tuple(d.strftime("%Y-%m-%d") for d in days)
        return re.sub(r'"time":"(\d{4}-\d\d-\d\d)T[^"]*"',
                      lambda m: '"time":"CLOCK"' if m.group(1) in isos else m.group(0), text)
    stamps = {d.strftime("%d%m%y") for d in days}
    out, clock = [], False
    for line in text.split("\r\n"):
        f = line.split(",")
        if f[0] == "$GPRMC":
            clock = len(f) > 9 and f[9] in stamps
            if clock:
                f[1] = f[9] = "CLOCK"
        elif f[0] == "$GPGGA" and clock:
            f[1] = "CLOCK"
        out.append(",".join(f).split("*")[0] if clock else line)
    return "\r\n".join(out)


def digest(decoder, log, mode, legacy):
    # --legacy: a decoder from before the two readings, whose only reading is the strict one
    options = [mode] if legacy else ["--strict", mode]
    run = subprocess.run([decoder, *options, log], capture_output=True, check=True)
    return hashlib.sha256(masked(run.stdout.decode("latin-1"), mode).encode("latin-1")).hexdigest()


def main():
    args = [a for a in sys.argv[1:] if a not in ("--write", "--legacy")]
    legacy = "--legacy" in sys.argv
    decoder, golden, folders = args[0], args[1], args[2:]
    logs = []
    for folder in folders:
        logs += require_inputs(decoder, folder)
    rows = {}
    for log in logs:
        for mode in ("--json", "--nmea"):
            rows[f"{os.path.basename(log)} {mode}"] = digest(decoder, log, mode, legacy)
    if "--write" in sys.argv:
        with open(golden, "w") as f:
            for key in sorted(rows):
                f.write(f"{key} {rows[key]}\n")
        print(f"wrote {len(rows)} digests to {golden}")
        return
    if not os.path.exists(golden):
        print("FAIL missing input: " + golden)
        sys.exit(1)
    expected = dict(line.rsplit(" ", 1) for line in open(golden).read().splitlines() if line)
    changed = [k for k in sorted(rows) if expected.get(k) != rows[k]]
    missing = [k for k in expected if k not in rows]
    for k in changed:
        print(f"FAIL {k}: the strict reading changed")
    for k in missing:
        print(f"FAIL {k}: capture missing")
    print(f"compared {len(rows)} outputs of {len(logs)} captures with the strict golden digests")
    sys.exit(1 if changed or missing or not rows else 0)


if __name__ == "__main__":
    main()
