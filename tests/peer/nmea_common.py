"""Shared helpers of the NMEA peer checks: running ferrox-decode, grouping gpsd's output; the
process helpers (a free port, stopping) come from scripts/processes.py."""
import glob
import json
import os
import shutil
import socket
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
from processes import free_port, stop  # noqa: E402,F401  (the checks take them from here)


def tod_ms(iso):
    """Milliseconds into the day of an ISO 8601 time."""
    clock = iso.split("T")[1].rstrip("Z")
    h, m, s = clock.split(":")
    return int(h) * 3600000 + int(m) * 60000 + round(float(s) * 1000)


def decode(decoder, path, mode="--json"):
    options = mode.split()
    out = subprocess.run([decoder, *options, path], check=True, capture_output=True, text=True).stdout
    return [json.loads(line) for line in out.splitlines()] if "--json" in options else out


def sentence_time(line):
    fields = line.split("*")[0].split(",")
    return fields[1] if len(fields) > 1 else ""


class Cycles:
    """Groups lines into read cycles by the rule ferrox-decode uses: a $GPGGA or $GPRMC whose time
    differs from the cycle's time, or that repeats a type the cycle has, starts a new cycle."""

    def __init__(self):
        self.groups = []
        self.time = None
        self.seen = set()

    def sentence(self, line):
        tag = line[:6]
        if tag in ("$GPGGA", "$GPRMC"):
            t = sentence_time(line)
            if self.groups and ((self.time and t != self.time) or tag in self.seen):
                self.groups.append(self.new())
                self.time, self.seen = None, set()
            if not self.groups:
                self.groups.append(self.new())
            if not self.time:
                self.time = t
            self.seen.add(tag)
        elif not self.groups:
            self.groups.append(self.new())
        self.groups[-1]["sentences"].append(line)
        return self.groups[-1]

    @staticmethod
    def new():
        return {"sentences": [], "tpv": {}, "tpv_times": [], "gga_usat": None, "gsv_nsat": None, "gsv_prns": None}


def group_gpsd_reports(lines):
    """Reads interleaved sentences and gpsd JSON reports (a .chk file, or gpsdecode's output after
    the sentences it was fed) into cycles: merged TPV fields, GGA satellites used, GSV sky."""
    cycles = Cycles()
    group, last = None, ""
    for line in lines:
        line = line.rstrip("\r\n")
        if line.startswith("$") or line.startswith("!"):
            group, last = cycles.sentence(line), line[:6]
        elif line.startswith("{") and group is not None:
            report = json.loads(line)
            if report.get("class") == "TPV":
                if report.get("mode", 0) >= 2 or "time" in report:
                    group["tpv"].update({k: v for k, v in report.items() if k not in ("class", "device")})
                if "time" in report:
                    group["tpv_times"].append(report["time"])
            elif report.get("class") == "SKY":
                if last == "$GPGGA" and "uSat" in report:
                    group["gga_usat"] = report["uSat"]
                if last.endswith("GSV") and "satellites" in report:
                    group["gsv_nsat"] = report.get("nSat", len(report["satellites"]))
                    group["gsv_prns"] = sorted(s["PRN"] for s in report["satellites"])
    return cycles.groups


def require_inputs(decoder, data, programs=()):
    """The captures (each with its .chk), the decoder and the peer programs a check compares;
    anything missing ends the check as failed with one line, so it never passes empty."""
    missing = []
    if not os.access(decoder, os.X_OK):
        missing.append("decoder " + decoder)
    missing += ["program " + p for p in programs if shutil.which(p) is None]
    logs = sorted(glob.glob(os.path.join(data, "*.log")))
    if not logs:
        missing.append("captures in " + data)
    missing += [log + ".chk" for log in logs if not os.path.exists(log + ".chk")]
    if missing:
        print("FAIL missing input: " + ", ".join(missing))
        sys.exit(1)
    return logs


def finish(failed, files, epochs, what):
    """Prints what was compared; a run that compared nothing fails."""
    print(f"compared {epochs} epochs of {files} captures ({what})")
    if epochs == 0:
        print("FAIL nothing was compared")
        failed = True
    sys.exit(1 if failed else 0)
