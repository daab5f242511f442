#!/usr/bin/env python3
"""Real-flux evaluation: rawimage on every track of a folder of real flux
captures (xz-packed SCP images with a peer decoder's per-sector decode in
peer-reference.jsonl), side by side with that peer.

    bench/realflux.py [--rawimage PATH] [FOLDER]

FOLDER defaults to ../shared/fixtures/real-flux beside the project; when it
does not exist the script says so and exits 0. Per track it prints our good
sectors, the peer's (distinct), sectors only we read, only the peer reads,
sectors good in both whose bytes differ, our conflicts, and, for the
formatted-only track whose every sector holds 0xF6, our good sectors that do
not; then the totals. Exit status 1 when any sector is good in both with
other bytes, any conflict, or any wrong 0xF6 sector; else 0.
"""
import argparse
import hashlib
import json
import lzma
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(HERE)
SECTORS = 21            # the widest layout among the tracks (DMF)
FILLED_TRACK = "low_level_format_with_noise"
FILL_BYTE = 0xF6


def peer_sectors(folder):
    """{file: (cyl, head, {sector: set of sha256 of good copies})}"""
    peers = {}
    with open(os.path.join(folder, "peer-reference.jsonl")) as f:
        for line in f:
            d = json.loads(line)
            cyl, head, good = peers.setdefault(d["file"], (d["cyl"], d["head"], {}))
            for s in d["sectors"]:
                if s["good"] and s["c"] == cyl and s["h"] == head:
                    good.setdefault(s["r"], set()).add(s["sha256"])
    return peers


def ours(rawimage, scp, cyl, work):
    """{sector: sha256} of our good sectors, conflicts, seconds taken."""
    image, report = os.path.join(work, "x.img"), os.path.join(work, "r.json")
    t0 = time.monotonic()
    subprocess.run([rawimage, "-q", "-g", "%d:2:%d" % (cyl + 1, SECTORS), "--report", report, "-o", image, scp],
                   stdout=subprocess.DEVNULL, check=False)
    seconds = time.monotonic() - t0
    with open(report) as f:
        rep = json.load(f)
    with open(image, "rb") as f:
        img = f.read()
    good, conflicts = {}, 0
    bytes_ = rep["geometry"]["bytes"]
    for s in rep["sectors"]:
        if s["cylinder"] != cyl:
            continue
        key = (s["head"], s["sector"])
        at = ((s["cylinder"] * 2 + s["head"]) * SECTORS + s["sector"] - 1) * bytes_
        data = img[at:at + bytes_]
        if s["status"] == "good":
            good[key] = (hashlib.sha256(data).hexdigest(), data)
        conflicts += s["status"] == "conflict"
    return good, conflicts, seconds


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rawimage", default=os.path.join(PROJECT, "build", "default", "rawimage"))
    ap.add_argument("folder", nargs="?", default=os.path.join(PROJECT, "..", "shared", "fixtures", "real-flux"))
    a = ap.parse_args()
    if not os.path.isdir(a.folder):
        print("no real-flux folder at %s: nothing to evaluate" % a.folder)
        return 0
    peers = peer_sectors(a.folder)
    cols = ("track", "ours", "peer", "only ours", "only peer", "differ", "conflicts", "not F6", "seconds")
    fmt = "%-30s" + " %9s" * (len(cols) - 1)
    print(fmt % cols)
    totals = [0] * (len(cols) - 2)
    bad = False
    with tempfile.TemporaryDirectory() as work:
        for name in sorted(peers):
            packed = os.path.join(a.folder, name + ".xz")
            if not os.path.exists(packed):
                continue
            scp = os.path.join(work, name)
            with lzma.open(packed) as src, open(scp, "wb") as dst:
                dst.write(src.read())
            cyl, head, peer = peers[name]
            good, conflicts, seconds = ours(a.rawimage, scp, cyl, work)
            os.unlink(scp)
            mine = {r for (h, r) in good if h == head}
            differ = sum(1 for r in mine & set(peer) if good[(head, r)][0] not in peer[r])
            not_f6 = 0
            if name.startswith(FILLED_TRACK):
                not_f6 = sum(1 for (sha, data) in good.values() if data != bytes([FILL_BYTE]) * len(data))
            row = [len(good), len(peer), len(mine - set(peer)), len(set(peer) - mine), differ, conflicts, not_f6]
            totals = [t + v for t, v in zip(totals, row)]
            bad |= differ > 0 or conflicts > 0 or not_f6 > 0
            print(fmt % ((name[:-4],) + tuple(row) + ("%.2f" % seconds,)))
    print(fmt % (("total",) + tuple(totals) + ("",)))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
