#!/usr/bin/env python3
"""The imported cells at the scale of the world: a synthetic public export of ROWS rows (default
10 million; bench/cell_export.cpp says what is in it) imported by ferrox-cells into a fresh data
root, then 100 000 random lookups through the service's lookup. Targets: import <= 60 s and peak
RSS <= 150 MB, <= 64 bytes per cell on disk, lookup p99 <= 1 ms; the figures for a whole export
of 45 million rows are extrapolated. Usage: cells_at_scale.py BIN_DIR [ROWS]"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if len(sys.argv) > 1 and sys.argv[1] in ("-h", "--help"):
    print(__doc__)
    sys.exit(0)
BIN = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/bin")
ROWS = int(sys.argv[2]) if len(sys.argv) > 2 else 10_000_000
WHOLE_EXPORT = 45_000_000


def timed(cmd):
    """Runs cmd; its output, wall seconds and peak RSS in MB."""
    start = time.time()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit("FAIL: %s exited %d: %s" % (" ".join(cmd), proc.returncode, out[-2000:]))
    return out, time.time() - start, usage.ru_maxrss / 1024


def main():
    for tool in ("cell_export", "ferrox-cells", "ferrox-reg"):
        if not os.access(os.path.join(BIN, tool), os.X_OK):
            sys.exit("FAIL: %s is not built in %s" % (tool, BIN))
    work = tempfile.mkdtemp(prefix="ferrox-cells-scale-")
    try:
        export, keys, root = (os.path.join(work, n) for n in ("cells.csv.gz", "keys.txt", "root"))
        start = time.time()
        subprocess.run([os.path.join(BIN, "cell_export"), "generate", str(ROWS), export, keys], check=True)
        print("generated %d rows in %.0f s: %s, %.0f MB" % (ROWS, time.time() - start, export, os.path.getsize(export) / 1e6))
        subprocess.run([os.path.join(HERE, "../scripts/setup-root.sh"), root, os.path.dirname(BIN)], check=True,
                       capture_output=True, cwd=os.path.join(HERE, ".."))
        out, seconds, rss = timed([os.path.join(BIN, "ferrox-cells"), "--root", root, "import", export])
        print(out.strip().splitlines()[-1])
        stats, _, _ = timed([os.path.join(BIN, "ferrox-cells"), "--root", root, "stats"])
        m = re.search(r": (\d+) cells, [\d.]+ MB \(([\d.]+) bytes per cell\)", stats)
        if not m:
            sys.exit("FAIL: no cell count in: " + stats)
        cells, per_cell = int(m.group(1)), float(m.group(2))
        lookups, _, _ = timed([os.path.join(BIN, "cell_export"), "lookup", root, keys, "100000"])
        p99 = float(re.search(r"p99 ([\d.]+) us", lookups).group(1))
        print(lookups.strip())
        scale = WHOLE_EXPORT / ROWS
        checks = [("import time", seconds, 60 * ROWS / 10_000_000, "s"), ("import peak RSS", rss, 150, "MB"),
                  ("disk per cell", per_cell, 64, "bytes"), ("lookup p99", p99, 1000, "us")]
        print("%d rows -> %d cells: import %.1f s (%.0f rows/s), peak RSS %.0f MB, %.1f bytes per cell, lookup p99 %.1f us"
              % (ROWS, cells, seconds, ROWS / seconds, rss, per_cell, p99))
        print("a whole export of %d rows, extrapolated: import about %.0f s, %.1f GB on disk (memory stays bounded)"
              % (WHOLE_EXPORT, seconds * scale, cells * scale * per_cell / 1e9))
        failed = [name for name, value, limit, _ in checks if value > limit]
        for name, value, limit, unit in checks:
            print("  %-16s %10.1f %-5s (target <= %g) %s" % (name, value, unit, limit, "ok" if value <= limit else "MISSED"))
        if failed:
            sys.exit("FAIL: " + ", ".join(failed))
        print("PASS")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
