#!/usr/bin/env python3
"""ferrox-decode against gpsd's own decoding (the .chk files beside the captures): positions,
times, speeds, courses, altitudes and satellite counts of every epoch with a fix agree."""
import datetime
import os
import sys

from nmea_common import finish, require_inputs, decode, group_gpsd_reports, tod_ms


def angle_diff(a, b):
    return abs((a - b + 180) % 360 - 180)


def decimals(text):
    return len(text.split(".")[1]) if "." in text else 0


def speed_tolerance(group):
    """Half a unit of the last printed digit of the speed fields the epoch carried (km/h)."""
    tol = 0.02
    for s in group["sentences"]:
        f = s.split("*")[0].split(",")
        if s.startswith("$GPRMC") and len(f) > 7 and f[7]:
            tol += 0.5 * 10 ** -decimals(f[7]) * 1.852
        if s.startswith("$GPVTG") and len(f) > 7 and f[7]:
            tol += 0.5 * 10 ** -decimals(f[7])
    return tol


def gsv_complete(group):
    """True when the epoch's $GPGSV messages run 1..T without a gap."""
    numbers, total = [], None
    for s in group["sentences"]:
        if s.startswith("$GPGSV"):
            f = s.split("*")[0].split(",")
            total, numbers = int(f[1] or 0), numbers + [int(f[2] or 0)]
    return total is not None and numbers == list(range(1, total + 1))


def check_file(decoder, log):
    ours = decode(decoder, log)
    with open(log + ".chk", encoding="utf-8", errors="replace") as f:
        groups = group_gpsd_reports(f)
    by_tod = {}
    for g in groups:
        if g["tpv_times"]:
            by_tod.setdefault(tod_ms(g["tpv_times"][-1]), g)
    today = datetime.datetime.now(datetime.timezone.utc).date().isoformat()
    compared, skipped, problems = 0, {}, []

    def skip(reason):
        skipped[reason] = skipped.get(reason, 0) + 1

    for cycle in ours:
        if cycle["quality"] == 0:
            continue  # no fix in this epoch
        if cycle["time"] is None:
            skip("no time and date in the cycle")
            continue
        if cycle["time"].startswith(today):
            skip("RMC with an empty date: the driver takes the clock's now")
            continue
        g = by_tod.get(tod_ms(cycle["time"]))
        tpv = g["tpv"] if g else {}
        if "lat" not in tpv:
            skip("gpsd emitted no report with a position for this epoch")
            continue
        compared += 1
        where = f"{os.path.basename(log)} {cycle['time']}"
        if tpv.get("time", "")[:10] != cycle["time"][:10]:
            problems.append(f"{where}: date {cycle['time'][:10]} vs gpsd {tpv.get('time')}")
        if abs(cycle["lat"] - tpv["lat"]) > 1e-6 or abs(cycle["lon"] - tpv["lon"]) > 1e-6:
            problems.append(f"{where}: position {cycle['lat']},{cycle['lon']} vs {tpv['lat']},{tpv['lon']}")
        alt = tpv.get("altMSL", tpv.get("alt"))
        if alt is not None and abs(cycle["alt"] - alt) > 0.01:
            problems.append(f"{where}: altitude {cycle['alt']} vs {alt}")
        if "speed" in tpv:
            gpsd_kmh = tpv["speed"] * 3.6
            if abs(cycle["speed_kmh"] - gpsd_kmh) > speed_tolerance(g) + 0.002 * gpsd_kmh:
                problems.append(f"{where}: speed {cycle['speed_kmh']} km/h vs {gpsd_kmh:.4f}")
        if "track" in tpv and angle_diff(cycle["course"], tpv["track"]) > 0.06:
            problems.append(f"{where}: course {cycle['course']} vs {tpv['track']}")
        if any(x.startswith("$GNGGA") or x.startswith("$GNGNS") for x in g["sentences"]):
            skip("satellites used: the record follows the combined $GN solution")
        elif g["gga_usat"] is not None and cycle["used"] != g["gga_usat"]:
            problems.append(f"{where}: satellites used {cycle['used']} vs {g['gga_usat']}")
        if g["gsv_nsat"] is not None:
            if any(s[:6] in ("$GLGSV", "$GAGSV", "$GBGSV", "$GNGSV") for s in g["sentences"]):
                skip("satellites of other talkers in view (only $GP is understood)")
            elif g["gsv_nsat"] > 12:
                skip("more than twelve satellites in view: the record holds twelve")
            elif not gsv_complete(g):
                skip("satellite messages of the epoch incomplete: the driver keeps the announced count")
            elif cycle["inview"] != g["gsv_nsat"]:
                problems.append(f"{where}: satellites in view {cycle['inview']} vs {g['gsv_nsat']}")
            elif sorted(s["prn"] for s in cycle["sats"]) != g["gsv_prns"]:
                problems.append(f"{where}: satellites {cycle['sats']} vs PRNs {g['gsv_prns']}")
    for g in groups:
        tags = {x[:6] for x in g["sentences"]}
        if "lat" in g["tpv"] and tags & {"$GNGGA", "$GNRMC"} and not tags & {"$GPGGA", "$GPRMC"}:
            skip("$GN talker: not understood by the driver")
    return compared, skipped, problems


def main():
    decoder, data = sys.argv[1], sys.argv[2]
    failed = False
    logs = require_inputs(decoder, data, ())
    total = 0
    for log in logs:
        compared, skipped, problems = check_file(decoder, log)
        total += compared
        has_gp_fix = any(c["quality"] for c in decode(decoder, log))
        status = "ok" if not problems and (compared or not has_gp_fix) else "FAIL"
        failed |= status == "FAIL"
        print(f"{status} {os.path.basename(log)}: {compared} epochs agree")
        for reason, n in sorted(skipped.items()):
            print(f"    skipped {n}: {reason}")
        for p in problems[:20]:
            print(f"    {p}")
        if has_gp_fix and not compared:
            print("    no epoch could be compared")
        if not has_gp_fix:
            print("    skipped all: no $GPGGA with a fix quality, so the driver sees no fix")
    finish(failed, len(logs), total, "against the .chk decodes")


if __name__ == "__main__":
    main()
