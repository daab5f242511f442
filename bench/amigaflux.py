#!/usr/bin/env python3
"""Synthetic AmigaDOS evaluation: rawimage on flux that make_scp writes from a
seeded random image, every good sector checked against that image.

    bench/amigaflux.py [--build DIR] [--quick]

DIR (default build/default) holds rawimage and tests/make_scp. The fixtures
are clean DD and HD disks as SCP and KryoFlux (one without index pulses),
rising jitter, a slow wobbly drive and five revolutions with damaged
stretches, one of them a sector that every revolution loses somewhere else so
that only a vote holds it. --quick makes three fixtures of 40 cylinders. Per
fixture it prints the sectors, good ones, voted ones, not good ones and good
ones whose bytes are wrong, and rawimage's seconds; then the totals. Exit
status 1 when any good sector is wrong, a clean fixture is not all good or
rawimage fails; else 0.
"""
import argparse
import concurrent.futures
import json
import os
import random
import subprocess
import sys
import tempfile

from synthetic import evaluate

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(HERE)
DD_BYTES, HD_BYTES = 901120, 1802240
BASE = ["0.04", "0", "0.01", "0.05"]
# Two tracks torn over the same cells in most revolutions, and track 20.0's
# sector 5 hit once per revolution, never twice in the same place.
DAMAGE = ["10.0:0:20000:3000", "10.0:1:21000:3000", "10.0:2:22000:2000", "10.0:3:19000:2500",
          "10.0:4:20500:1000", "30.1:0:50000:4000", "30.1:1:52000:4000", "30.1:2:51000:4000",
          "30.1:3:53000:2000", "30.1:4:50000:1000", "20.0:0:31000:40", "20.0:1:32500:40",
          "20.0:2:34000:40", "20.0:3:35500:40", "20.0:4:37000:40"]

# (name, HD image, KryoFlux, options, revolutions, noise)
FIXTURES = [
    ("dd-clean", False, False, [], 3, BASE),
    ("hd-clean", True, False, [], 3, BASE),
    ("dd-clean-kf", False, True, [], 3, BASE),
    ("dd-noindex-kf", False, True, ["--no-index"], 2, BASE),
    ("jitter-12", False, False, [], 3, ["0.12"] + BASE[1:]),
    ("jitter-14", False, False, [], 3, ["0.14"] + BASE[1:]),
    ("jitter-16", False, False, [], 3, ["0.16"] + BASE[1:]),
    ("slow-wobble", False, False, [], 3, ["0.10", "-0.03", "0.03", "0.15"]),
    ("slow-wobble-kf", False, True, ["--seed", "2"], 3, ["0.10", "-0.03", "0.03", "0.15"]),
    ("damaged-5rev", False, False, ["--seed", "3"] + [a for d in DAMAGE for a in ("--damage", d)], 5,
     ["0.10", "0", "0.01", "0.05"]),
]
QUICK = ("dd-clean", "jitter-14", "damaged-5rev")


def make(make_scp, work, fixture, cylinders):
    """Writes one fixture; returns rawimage's input for it."""
    name, hd, kryoflux, options, revolutions, noise = fixture
    out = os.path.join(work, name if kryoflux else name + ".scp")
    args = [make_scp, "--amiga", "--adf", os.path.join(work, "hd.adf" if hd else "dd.adf")] + options
    args += ["--kryoflux"] if kryoflux else []
    args += [out, str(cylinders), "22" if hd else "11", str(revolutions)] + noise
    subprocess.run(args, stdout=subprocess.DEVNULL, check=True)
    return os.path.join(out, "track00.0.raw") if kryoflux else out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(PROJECT, "build", "default"))
    ap.add_argument("--quick", action="store_true", help="three fixtures of 40 cylinders")
    a = ap.parse_args()
    rawimage, make_scp = os.path.join(a.build, "rawimage"), os.path.join(a.build, "tests", "make_scp")
    fixtures = [f for f in FIXTURES if f[0] in QUICK] if a.quick else FIXTURES
    cylinders = 40 if a.quick else 80
    cols = ("fixture", "sectors", "good", "voted", "not good", "wrong", "seconds")
    fmt = "%-16s" + " %9s" * (len(cols) - 1)
    totals, bad = [0] * 5, False
    with tempfile.TemporaryDirectory() as work:
        rng = random.Random(1)
        sources = {False: rng.randbytes(DD_BYTES), True: rng.randbytes(HD_BYTES)}
        for hd, data in sources.items():
            with open(os.path.join(work, "hd.adf" if hd else "dd.adf"), "wb") as f:
                f.write(data)
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            captures = list(pool.map(lambda f: make(make_scp, work, f, cylinders), fixtures))
        print(fmt % cols)
        for (name, hd, *_), capture in zip(fixtures, captures):
            got = evaluate(rawimage, capture, sources[hd], (2, 22 if hd else 11, 512, 0), cylinders, work, "adf")
            if isinstance(got, str):
                print("%-16s %s" % (name, got))
                bad = True
                continue
            row, seconds, wrong, _ = got
            totals = [t + v for t, v in zip(totals, row)]
            bad |= row[4] > 0 or ("clean" in name and row[1] != row[0])
            print(fmt % ((name,) + tuple(row) + ("%.2f" % seconds,)))
            for s in wrong:
                print("  wrong %d.%d:%d %s" % (s["cylinder"], s["head"], s["sector"], json.dumps(s)))
    print(fmt % (("total",) + tuple(totals) + ("",)))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
