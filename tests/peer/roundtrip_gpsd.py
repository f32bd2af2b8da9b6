#!/usr/bin/env python3
"""ferrox-decode --nmea output fed to gpsd's decoder: no checksum or syntax error, and the same
positions, speeds, courses and satellites come back."""
import json
import os
import subprocess
import sys

from nmea_common import finish, require_inputs, decode, tod_ms


def angle_diff(a, b):
    return abs((a - b + 180) % 360 - 180)


def gpsd_epochs(batch_text):
    """gpsdecode's reports keyed by time of day: every batch starts with $GPRMC, whose report
    carries the time; the sky reports that follow belong to the same batch."""
    run = subprocess.run(["gpsdecode", "-D", "2"], input=batch_text, capture_output=True, text=True)
    errors = [l for l in run.stderr.splitlines() if any(w in l.lower() for w in ("checksum", "malformed", "garbage"))]
    epochs, key = {}, None
    for line in run.stdout.splitlines():
        if not line.startswith("{"):
            continue  # at this debug level gpsdecode also echoes what it read
        report = json.loads(line)
        if report.get("class") == "TPV" and "time" in report:
            key = tod_ms(report["time"])
        if key is None:
            continue
        epoch = epochs.setdefault(key, {"tpv": {}, "prns": None})
        if report.get("class") == "TPV":
            epoch["tpv"].update(report)
        elif report.get("class") == "SKY" and "satellites" in report:
            epoch["prns"] = sorted(s["PRN"] for s in report["satellites"])
    return epochs, errors


def check_file(decoder, log):
    ours = decode(decoder, log)
    epochs, errors = gpsd_epochs(decode(decoder, log, "--nmea"))
    problems = [f"gpsdecode: {e}" for e in errors]
    compared, skipped, first = 0, {}, True

    def skip(reason):
        skipped[reason] = skipped.get(reason, 0) + 1

    for cycle in ours:
        if cycle["time"] is None or cycle["quality"] == 0:
            continue
        if cycle["fixtype"] == 0:
            skip("record without a fix type (no $GPGSA): the driver prints no fix (RMC V, GSA mode 1)")
            continue
        epoch = epochs.get(tod_ms(cycle["time"]))
        if not epoch or "lat" not in epoch["tpv"]:
            if first:
                skip("first fix of the stream: gpsd reports a position from the next batch on")
            else:
                problems.append(f"{os.path.basename(log)} {cycle['time']}: gpsd found no position in our batch")
            first = False
            continue
        first = False
        tpv = epoch["tpv"]
        compared += 1
        where = f"{os.path.basename(log)} {cycle['time']}"
        if abs(cycle["lat"] - tpv["lat"]) > 2e-7 or abs(cycle["lon"] - tpv["lon"]) > 2e-7:
            problems.append(f"{where}: position {cycle['lat']},{cycle['lon']} came back as {tpv['lat']},{tpv['lon']}")
        if "speed" in tpv and abs(cycle["speed_kmh"] - tpv["speed"] * 3.6) > 0.1:
            problems.append(f"{where}: speed {cycle['speed_kmh']} came back as {tpv['speed'] * 3.6:.3f}")
        if "track" in tpv and angle_diff(cycle["course"], tpv["track"]) > 0.06:
            problems.append(f"{where}: course {cycle['course']} came back as {tpv['track']}")
        ours_prns = sorted(s["prn"] for s in cycle["sats"])
        if ours_prns and epoch["prns"] is not None and epoch["prns"] != ours_prns:
            problems.append(f"{where}: satellites {ours_prns} came back as {epoch['prns']}")
    return compared, skipped, problems


def main():
    decoder, data = sys.argv[1], sys.argv[2]
    failed = False
    logs = require_inputs(decoder, data, ("gpsdecode",))
    total = 0
    for log in logs:
        compared, skipped, problems = check_file(decoder, log)
        total += compared
        failed |= bool(problems)
        print(f"{'FAIL' if problems else 'ok'} {os.path.basename(log)}: {compared} epochs came back unchanged")
        for reason, n in sorted(skipped.items()):
            print(f"    skipped {n}: {reason}")
        for p in problems[:20]:
            print(f"    {p}")
    finish(failed, len(logs), total, "batches through gpsdecode")


if __name__ == "__main__":
    main()
