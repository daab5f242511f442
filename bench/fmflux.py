#!/usr/bin/env python3
"""Synthetic FM evaluation: rawimage on flux that make_scp --fm writes from a
seeded random image, every good sector checked against that image.

    bench/fmflux.py [--build DIR] [--quick]

DIR (default build/default) holds rawimage and tests/make_scp. The fixtures
are clean disks of the FM layouts (an 8-inch IBM 3740, Acorn DFS single-sided
of 40 and 80 cylinders, double-sided as SCP and KryoFlux), rising jitter (in
fractions of the FM cell) and five revolutions with damaged stretches, one of
them a sector that every revolution loses somewhere else so that only a vote
holds it. --quick makes three small fixtures. Per fixture it prints the
sectors, good ones, voted ones, not good ones and good ones whose bytes are
wrong, and rawimage's seconds; then the totals. Exit status 1 when any good
sector is wrong, a clean fixture is not all good or its image not the source
byte for byte, or rawimage fails; else 0.
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
# (cylinders, heads, sectors, bytes, first, kbit/s, rpm), as in the layout table
LAYOUTS = {
    "ibm.3740": (77, 1, 26, 128, 1, 250, 360),
    "acorn.dfs.ss": (80, 1, 10, 256, 0, 125, 300),
    "acorn.dfs.ds": (80, 2, 10, 256, 0, 125, 300),
}
BASE = ["0.04", "0", "0.01", "0.05"]


def data_cell(layout, cylinder, head, sector, byte):
    """The stream cell (from the revolution's start) of a data byte of a
    sector as make_scp lays it out: the gaps of fm::gapsFor, two cells per FM
    cell, the track a few cells late against the index."""
    _, _, spt, size, first, kbits, rpm = LAYOUTS[layout]
    track_bytes = kbits * 1000 * 60 // (8 * rpm)
    per_sector = 6 + 1 + 4 + 2 + 11 + 6 + 1 + size + 2
    gap3 = min(max((track_bytes - 73) // spt - per_sector, 8), 27)
    at = 73 + (sector - first) * (per_sector + gap3) + 6 + 1 + 4 + 2 + 11 + 6 + 1 + byte
    rev = track_bytes * 32
    return (at * 32 + (cylinder * 2 + head) % 16) % rev


def damage():
    """Two tracks torn over one stretch in most revolutions, and track 20.0's
    sector 5 hit once per revolution, never twice in the same place."""
    stretches = []
    for (c, h, s), shifts in (((10, 0, 3), (0, 1000, 2000, -1000, 500)), ((30, 1, 7), (0, 2000, 1000, 3000, 0))):
        start = data_cell("acorn.dfs.ds", c, h, s, 20)
        stretches += ["%d.%d:%d:%d:%d" % (c, h, r, start + d, 2500) for r, d in enumerate(shifts)]
    stretches += ["20.0:%d:%d:40" % (r, data_cell("acorn.dfs.ds", 20, 0, 5, 20 + 45 * r)) for r in range(5)]
    return [a for d in stretches for a in ("--damage", d)]


# (name, layout, cylinders (0: the run's), KryoFlux, options, revolutions, noise)
FIXTURES = [
    ("3740-clean", "ibm.3740", 77, False, [], 3, BASE),
    ("dfs-ss40-clean", "acorn.dfs.ss", 40, False, [], 3, BASE),
    ("dfs-ss80-clean", "acorn.dfs.ss", 80, False, [], 3, BASE),
    ("dfs-ds-clean", "acorn.dfs.ds", 0, False, [], 3, BASE),
    ("dfs-ds-clean-kf", "acorn.dfs.ds", 0, True, [], 3, BASE),
    ("jitter-08", "acorn.dfs.ds", 0, False, [], 3, ["0.08"] + BASE[1:]),
    ("jitter-12", "acorn.dfs.ds", 0, False, [], 3, ["0.12"] + BASE[1:]),
    ("jitter-16", "acorn.dfs.ds", 0, False, [], 3, ["0.16"] + BASE[1:]),
    ("damaged-5rev", "acorn.dfs.ds", 0, False, ["--seed", "3"] + damage(), 5, ["0.05"] + BASE[1:]),
]
QUICK = ("3740-clean", "jitter-08", "damaged-5rev")


def make(make_scp, work, fixture, cylinders):
    """Writes one fixture's source image and flux; returns rawimage's input
    and the source's bytes."""
    name, layout, cyls, kryoflux, options, revolutions, noise = fixture
    cyls = cyls or cylinders
    heads, spt, size = LAYOUTS[layout][1:4]
    source = random.Random(name).randbytes(cyls * heads * spt * size)
    image = os.path.join(work, name + ".img")
    with open(image, "wb") as f:
        f.write(source)
    out = os.path.join(work, name if kryoflux else name + ".scp")
    args = [make_scp, "--fm", layout, "--adf", image] + options + (["--kryoflux"] if kryoflux else [])
    args += [out, str(cyls), "0", str(revolutions)] + noise
    subprocess.run(args, stdout=subprocess.DEVNULL, check=True)
    return (os.path.join(out, "track00.0.raw") if kryoflux else out), source


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(PROJECT, "build", "default"))
    ap.add_argument("--quick", action="store_true", help="three small fixtures")
    a = ap.parse_args()
    rawimage, make_scp = os.path.join(a.build, "rawimage"), os.path.join(a.build, "tests", "make_scp")
    fixtures = [f for f in FIXTURES if f[0] in QUICK] if a.quick else FIXTURES
    cylinders = 40 if a.quick else 80
    cols = ("fixture", "sectors", "good", "voted", "not good", "wrong", "same", "seconds")
    fmt = "%-16s" + " %9s" * (len(cols) - 1)
    totals, bad = [0] * 5, False
    with tempfile.TemporaryDirectory() as work:
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            made = list(pool.map(lambda f: make(make_scp, work, f, cylinders), fixtures))
        print(fmt % cols)
        for (name, layout, *_), (capture, source) in zip(fixtures, made):
            heads, spt, size, first = LAYOUTS[layout][1:5]
            got = evaluate(rawimage, capture, source, (heads, spt, size, first), len(source) // (heads * spt * size),
                           work, "img")
            if isinstance(got, str):
                print("%-16s %s" % (name, got))
                bad = True
                continue
            row, seconds, wrong, same = got
            totals = [t + v for t, v in zip(totals, row)]
            clean = "clean" in name
            bad |= row[4] > 0 or (clean and (row[1] != row[0] or not same))
            print(fmt % ((name,) + tuple(row) + ("yes" if same else "no", "%.2f" % seconds)))
            for s in wrong:
                print("  wrong %d.%d:%d %s" % (s["cylinder"], s["head"], s["sector"], json.dumps(s)))
    print(fmt % (("total",) + tuple(totals) + ("", "")))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
