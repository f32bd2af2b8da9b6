#!/usr/bin/env python3
"""Which receivers the driver serves: for every capture whose gpsd decode (.chk) has fixes, the
driver's read cycles with a fix must reach 90 % of gpsd's fix epochs, and their positions must agree
with gpsd's of the same epoch within 1e-6 degrees. Prints one row per capture and the share covered.

Usage: coverage.py DECODER FOLDER... [--strict]"""
import json
import os
import sys

from nmea_common import decode, require_inputs, tod_ms

MIN_SHARE = 0.9
TOLERANCE = 1e-6


def gpsd_fixes(chk):
    """gpsd's fix epochs: time of day (ms) -> the positions of its TPV reports with mode 2 or 3
    (a receiver that repeats a time gets two)."""
    fixes = {}
    with open(chk, encoding="utf-8", errors="replace") as f:
        for line in f:
            if not line.startswith("{"):
                continue
            try:
                r = json.loads(line)
            except ValueError:
                continue
            if r.get("class") == "TPV" and r.get("mode", 0) >= 2 and "lat" in r and "time" in r:
                fixes.setdefault(tod_ms(r["time"]), []).append((r["lat"], r["lon"]))
    return merge_epochs(fixes)


def merge_epochs(fixes):
    """One epoch for the times of one measurement that sentences round differently (.297, .300,
    .303): times closer than 20 ms are one epoch, keyed by each of its times."""
    merged, last_key = {}, None
    for t in sorted(fixes):
        if last_key is not None and t - last_key < 20:
            merged[last_key] += fixes[t]
            merged[t] = merged[last_key]
        else:
            merged[t] = list(fixes[t])
            last_key = t
    return merged


def epoch_count(fixes):
    return len({id(v) for v in fixes.values()})


def nmea_times(log):
    """Times of day (ms) the capture carries in NMEA sentences (GGA, RMC, GNS, GLL)."""
    times = set()
    with open(log, "rb") as f:
        for raw in f:
            for part in raw.split(b"$")[1:]:
                text = part.decode("ascii", errors="replace").split("*")[0]
                fields = text.split(",")
                kind = fields[0][2:5] if len(fields[0]) == 5 else ""
                field = {"GGA": 1, "RMC": 1, "GNS": 1, "GLL": 5}.get(kind)
                if field and len(fields) > field and fields[field][:6].isdigit():
                    t = fields[field]
                    ms = (int(t[0:2]) * 3600 + int(t[2:4]) * 60) * 1000 + round(float(t[4:]) * 1000)
                    times.add(ms)
    return times


def only_nmea(fixes, times):
    """gpsd's epochs that the capture has in NMEA; the others came in a binary protocol (gpsd
    also decodes the receiver's binary messages), which the driver does not read."""
    return {t: v for t, v in fixes.items() if any(abs(t - n) < 20 for n in times)}


def talkers(log):
    seen = set()
    with open(log, encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith("$") and len(line) > 6 and not line.startswith("$P"):
                seen.add(line[1:3])
    return "".join(sorted(seen)) if len(seen) < 6 else ",".join(sorted(seen))


def check(decoder, log, strict):
    all_theirs = gpsd_fixes(log + ".chk")
    theirs = only_nmea(all_theirs, nmea_times(log))
    binary = epoch_count(all_theirs) - epoch_count(theirs)
    cycles = decode(decoder, log, "--json --strict" if strict else "--json")
    ours = [c for c in cycles if c["quality"] > 0 and c["fixtype"] > 0 and c["time"]]
    agree, differ, unmatched = 0, [], 0
    for c in ours:
        places = theirs.get(tod_ms(c["time"]))
        if places is None:
            unmatched += 1
        elif any(abs(c["lat"] - a) <= TOLERANCE and abs(c["lon"] - b) <= TOLERANCE for a, b in places):
            agree += 1
        else:
            a, b = places[-1]
            differ.append(f"{c['time']}: {c['lat']:.7f},{c['lon']:.7f} vs {a:.7f},{b:.7f}")
    return theirs, ours, agree, differ, unmatched, binary


def main():
    args = [a for a in sys.argv[1:] if a != "--strict"]
    strict = "--strict" in sys.argv[1:]
    decoder, folders = args[0], args[1:]
    logs = []
    for folder in folders:
        logs += require_inputs(decoder, folder)
    print(f"{'capture':34} {'talkers':10} {'gpsd':>6} {'ours':>6} {'share':>6} {'agree':>6}  result")
    served = with_fixes = compared = 0
    failures = []
    for log in logs:
        theirs, ours, agree, differ, unmatched, binary = check(decoder, log, strict)
        name = os.path.basename(log)
        if not theirs:
            print(f"{name:34} {talkers(log):10} {0:6} {len(ours):6} {'-':>6} {'-':>6}  no fix in gpsd's decode")
            continue
        with_fixes += 1
        share = len(ours) / epoch_count(theirs)
        matched = agree + len(differ)
        compared += matched
        ok = share >= MIN_SHARE and not differ and matched > 0
        served += ok
        print(f"{name:34} {talkers(log):10} {epoch_count(theirs):6} {len(ours):6} {share:6.2f} "
              f"{(agree / matched if matched else 0):6.2f}  {'ok' if ok else 'FAIL'}"
              + (f" ({unmatched} cycles at times gpsd has no fix)" if unmatched else "")
              + (f" ({binary} epochs only in the receiver's binary protocol, left out)" if binary else ""))
        for d in differ[:3]:
            print("      position " + d)
        if not ok:
            failures.append(name)
    print(f"covered {served} of {with_fixes} captures with fixes ({100.0 * served / max(with_fixes, 1):.0f} %), "
          f"{compared} epochs compared{' (strict reading)' if strict else ''}")
    if compared == 0:
        print("FAIL nothing was compared")
        sys.exit(1)
    if not strict and failures:
        print("FAIL not served: " + ", ".join(failures))
        sys.exit(1)


if __name__ == "__main__":
    main()
