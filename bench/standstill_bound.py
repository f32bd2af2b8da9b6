#!/usr/bin/env python3
"""How far any estimator can get below a standing receiver's error, with the lab's noise.

A receiver standing for 120 s, one fix a second, its position error per axis first-order
Gauss-Markov with a 30 s time constant (the lab's "GM 30s"), or white. For each second the
estimate uses only the fixes so far (what a driver can know when a program reads). Printed: the
mean error of each estimate against the mean error of the raw fixes.
- last 30: the mean of the last 30 fixes (HonestStill's window)
- since stop: the mean of every fix since the stop
- best: the minimum-variance unbiased estimate of a fixed point under that noise (for
  Gauss-Markov the first and the newest fix weigh 1, every other 1 - phi; for white noise the mean)
Usage: standstill_bound.py [RUNS]   (default 2000)"""
import math
import random
import sys

RUNS = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
SECONDS, TAU = 120, 30.0


def track(phi, rng):
    """One standing run's errors (east, north) per second."""
    e, n = rng.gauss(0, 1), rng.gauss(0, 1)
    out = [(e, n)]
    q = math.sqrt(1 - phi * phi)
    for _ in range(1, SECONDS):
        e, n = phi * e + q * rng.gauss(0, 1), phi * n + q * rng.gauss(0, 1)
        out.append((e, n))
    return out


def ratios(phi, rng):
    raw = window = since = best = 0.0
    for _ in range(RUNS):
        x = track(phi, rng)
        se = sn = 0.0  # sums since the stop
        for k in range(1, SECONDS + 1):
            e, n = x[k - 1]
            raw += math.hypot(e, n)
            se, sn = se + e, sn + n
            since += math.hypot(se / k, sn / k)
            w = x[max(0, k - 30):k]
            window += math.hypot(sum(p[0] for p in w) / len(w), sum(p[1] for p in w) / len(w))
            if k == 1 or phi == 0:
                best += math.hypot(se / k, sn / k)
            else:  # ends weigh 1, the inner fixes 1 - phi
                inner_e, inner_n = se - x[0][0] - e, sn - x[0][1] - n
                total = 2 + (k - 2) * (1 - phi)
                best += math.hypot((x[0][0] + e + (1 - phi) * inner_e) / total,
                                   (x[0][1] + n + (1 - phi) * inner_n) / total)
    return window / raw, since / raw, best / raw


def main():
    rng = random.Random(1)
    print("Standing %d s at 1 Hz, %d runs: mean error of each estimate / the raw fixes' mean error" % (SECONDS, RUNS))
    for name, phi in (("white", 0.0), ("GM 30s", math.exp(-1 / TAU))):
        window, since, best = ratios(phi, rng)
        print("  %-7s last 30 %.2f   since stop %.2f   best %.2f" % (name, window, since, best))


if __name__ == "__main__":
    main()
