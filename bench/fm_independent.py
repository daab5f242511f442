#!/usr/bin/env python3
"""FM (single density) disks made from scratch, read back with rawimage.

This script is a second, separate idea of what an FM disk looks like. It
shares no code with the library or its test builders: the track layout, the
cell encoding, the flux and the SCP writer below are written from the facts
in the shared format notes (fm.md, layouts.md, flux-files.md) alone. It then
runs build/default/rawimage on every disk it made and checks each sector
rawimage calls good against the bytes that were written.

Usage
-----
    bench/fm_independent.py                 # every fixture (a few minutes)
    bench/fm_independent.py --quick         # a small subset
    bench/fm_independent.py --keep DIR      # keep fixtures and outputs in DIR
    bench/fm_independent.py --rawimage PATH # another rawimage binary
    bench/fm_independent.py --only NAME     # fixtures whose name contains NAME

Python 3 standard library only. Exit status 1 when any sector rawimage
calls good holds other bytes than the source, or a clean fixture is not read
perfectly (every sector good, the plain image byte for byte the source, the
expected layout name, and the .ssd/.dsd/.imd checks where they apply);
otherwise 0. Notes (for example a damaged sector that was expected to be
recovered by a vote and was not) are printed but do not fail the run.

What a fixture is
-----------------
Layouts:
  * IBM 3740: 77 cylinders x 1 head x 26 sectors x 128 bytes, sectors from 1,
    250 kbit/s FM (cell 2 us) at 360 rpm; 83,333 cells a revolution.
  * Acorn DFS single-sided (acorn.dfs.ss): 40 or 80 x 1 x 10 x 256, sectors
    from 0, 125 kbit/s FM (cell 4 us) at 300 rpm; 50,000 cells a revolution
    (3,125 bytes).
  * Acorn DFS double-sided (acorn.dfs.ds): 80 x 2, the same tracks; the ID
    fields of side 1 carry head byte 0, as DFS writes them.

Track, in bytes (FF gap bytes, 00 sync bytes, every byte 16 cells with all
clock cells 1 except in the marks):
  * 3740: 40 x FF, 6 x 00, index mark (FC, clock D7), 26 x FF, then per
    sector 6 x 00, ID (FE, clock C7; C H R N; CRC), 11 x FF, 6 x 00, data
    (FB, clock C7; 128 bytes; CRC), 27 x FF; FF up to the index.
    4,961 bytes used of 5,208.
  * DFS: 16 x FF (no index mark: DFS formats without one), then per sector
    6 x 00, ID, 11 x FF, 6 x 00, data (256 bytes), 19 x FF; FF up to the
    index. 3,096 bytes used of 3,125.
  The CRC is CRC-16, polynomial 0x1021, start FFFF, over the mark byte and
  the field's bytes, high byte first. Sector numbers run upwards in order
  around the track (no interleave). The track is written from the index:
  cell 0 of the track lies at the index pulse, and the written track is
  exactly one revolution of cells at the nominal speed, so every revolution
  repeats the same cells.

Sector contents come from random.Random(fixture seed): the source image
(plain order: cylinder, head, sector) is written beside the flux as
NAME.src.img.

Flux and noise
--------------
A 1 cell is a transition. The cell is 1 / (2 x data rate) at the nominal
speed; a drive that turns at RPM instead of the nominal speed stretches
every cell by nominal / RPM (299 rpm for 300: cells 0.33 % longer, a
revolution 200.67 ms). Each transition sits at the middle of its cell, then:
  * jitter: every transition is moved by an amount drawn UNIFORMLY from
    [-J, +J] x (the FM cell as read), independently of the others; J is the
    "jitter" column (5 % .. 15 %). An interval thus errs by at most 2J cells.
  * wobble (noisy fixtures only): the speed varies sinusoidally once per
    revolution by +-W (0.4 %), the revolution's length kept.
  * damage: over a byte range of a sector's data field, in one revolution,
    the real transitions are taken away and replaced by random flux:
    intervals drawn uniformly from 0.5 to 2.8 cells, until the range's end
    time (so the cells after it keep their place). In the "vote" fixtures a
    few sectors are damaged in every one of the 3 revolutions, at a
    different byte range each time: no single read holds them good, but a
    bit-by-bit vote of the three reads does. One more sector is damaged in
    one revolution only (the other revolutions read it good).
    Two more forms of the same damage tell what defeats a vote:
      "bits":  the clock cells stay at their times and the data cells in
               the range are random; no loop can gain or lose a cell there.
      "slip1": random flux of whole cells (intervals of 1 to 3 cells, so
               clock cells go missing too) holding one cell more than the
               range, squeezed into the range's time: a loop reading it
               gains one cell, and the rest of that copy's field comes one
               cell late, while the flux after the range keeps its timing.
    The random flux of the "noise" form makes a loop gain or lose a few
    cells, as real damage does.
The revolutions follow one another without a break; each starts at an index
pulse. Times are rounded to 25 ns ticks as absolute times, and the SCP
intervals are the differences, so rounding does not accumulate.

SCP: 16-byte header (SCP, version 2.2, index-cued flag; 96 tpi for 80-track
disks, 360 rpm for the 3740), a table of 168 track offsets (track =
cylinder x 2 + head; 0 where no track), then per track TRK, the track
number, per revolution (duration in ticks, number of entries, offset from
the track header), and the 16-bit big-endian intervals (0x0000 adds 65,536
ticks to the next). The header checksum is the 32-bit sum of every byte
from offset 16 on.

Fixtures: 3740-clean, dfs-ss40-clean, dfs-ds80-clean (2 revolutions at
the nominal speed, no jitter); dfs-ds80-jit05/10/12/15 (3 revolutions,
299 rpm, wobble, jitter 5 to 15 %); 3740-vote (359 rpm, 8 % jitter) and
dfs-ds80-vote (299 rpm, 8 %) with "noise" damage; 3740-vote-bits and
3740-vote-slip1. --quick: 3740-clean, dfs-ss40-clean, dfs-ds40-jit12 and
3740-vote.

Checks
------
rawimage -q --report NAME.json -o NAME.out.img NAME.scp; the report's
"sectors" list is walked: good (status good), voted (good and "voted"),
not good, and WRONG (good, but the image's bytes at that sector are not the
source's). The layout name in geometry.format is compared with the expected
one. For DFS fixtures rawimage is also run with -o NAME.ssd / NAME.dsd, and
the file must equal the source. For the clean 3740 and the clean DFS SS
fixture an ImageDisk file is written and, if dsktrans (libdsk) is
installed, read back with a format section in a private ~/.libdskrc (HOME
set to a temporary folder; fm = Y; datarate HD for the 8-inch 250 kbit/s FM,
SD for 125 kbit/s FM) and compared with the source.
"""

import argparse
import json
import math
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

TICK = 25e-9  # SCP sample period at resolution 0


# ---------------------------------------------------------------- layouts

class Layout:
    def __init__(self, name, cyls, heads, sectors, size, first, rate, rpm,
                 gap4a, index_mark, gap1, gap2, gap3, dfs_heads):
        self.name = name
        self.cyls = cyls
        self.heads = heads
        self.sectors = sectors
        self.size = size
        self.first = first
        self.rate = rate          # data rate, bit/s
        self.rpm = rpm            # nominal speed
        self.gap4a = gap4a
        self.index_mark = index_mark
        self.gap1 = gap1
        self.gap2 = gap2
        self.gap3 = gap3
        self.dfs_heads = dfs_heads  # ID head byte 0 on both sides

    @property
    def cell(self):
        return 1.0 / (2 * self.rate)

    @property
    def cells_per_rev(self):
        return int(round(60.0 / self.rpm / self.cell))

    @property
    def size_code(self):
        return {128: 0, 256: 1, 512: 2, 1024: 3}[self.size]

    def image_bytes(self):
        return self.cyls * self.heads * self.sectors * self.size

    def offset(self, c, h, s):
        return ((c * self.heads + h) * self.sectors + (s - self.first)) * self.size


def ibm3740():
    return Layout("ibm.3740", 77, 1, 26, 128, 1, 250_000, 360,
                  gap4a=40, index_mark=True, gap1=26, gap2=11, gap3=27,
                  dfs_heads=False)


def dfs(cyls, heads):
    return Layout("acorn.dfs.ss" if heads == 1 else "acorn.dfs.ds",
                  cyls, heads, 10, 256, 0, 125_000, 300,
                  gap4a=16, index_mark=False, gap1=0, gap2=11, gap3=19,
                  dfs_heads=True)


# ---------------------------------------------------------------- CRC

def _crc_table():
    table = []
    for i in range(256):
        crc = i << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else (crc << 1)
        table.append(crc & 0xFFFF)
    return table


CRC_TABLE = _crc_table()


def crc16(data, crc=0xFFFF):
    for b in data:
        crc = ((crc << 8) & 0xFFFF) ^ CRC_TABLE[(crc >> 8) ^ b]
    return crc


# ---------------------------------------------------------------- FM cells

def byte_ones(data, clock=0xFF):
    """Offsets (0..15) of the 1 cells of one FM byte, clock cell first."""
    ones = []
    for k in range(8):
        if clock & (0x80 >> k):
            ones.append(2 * k)
        if data & (0x80 >> k):
            ones.append(2 * k + 1)
    return tuple(ones)


NORMAL_ONES = [byte_ones(b) for b in range(256)]


def encode_track(lay, cyl, head, sector_data):
    """Returns (ones, fields): the sorted cell indices of the 1 cells of one
    revolution, and for each sector the cell index where its data field's
    256/128 bytes begin (after the mark)."""
    out = []          # list of (data, clock)
    data_start = {}   # sector number -> byte index of first data byte

    def put(data, clock=0xFF):
        out.append((data, clock))

    def run(value, count):
        for _ in range(count):
            put(value)

    run(0xFF, lay.gap4a)
    if lay.index_mark:
        run(0x00, 6)
        put(0xFC, 0xD7)
        run(0xFF, lay.gap1)
    id_head = 0 if lay.dfs_heads else head
    for i in range(lay.sectors):
        s = lay.first + i
        run(0x00, 6)
        idf = bytes([0xFE, cyl, id_head, s, lay.size_code])
        c = crc16(idf)
        put(0xFE, 0xC7)
        for b in idf[1:]:
            put(b)
        put(c >> 8)
        put(c & 0xFF)
        run(0xFF, lay.gap2)
        run(0x00, 6)
        body = sector_data[s]
        c = crc16(bytes([0xFB]) + body)
        put(0xFB, 0xC7)
        data_start[s] = len(out)
        for b in body:
            put(b)
        put(c >> 8)
        put(c & 0xFF)
        run(0xFF, lay.gap3)
    n = lay.cells_per_rev
    if len(out) * 16 > n:
        raise SystemExit(f"{lay.name}: track of {len(out)} bytes does not fit "
                         f"in {n // 16}")
    while len(out) * 16 < n:
        put(0xFF)
    ones = []
    for i, (d, ck) in enumerate(out):
        base = i * 16
        offs = NORMAL_ONES[d] if ck == 0xFF else byte_ones(d, ck)
        for o in offs:
            p = base + o
            if p < n:
                ones.append(p)
    return ones, {s: b * 16 for s, b in data_start.items()}


# ---------------------------------------------------------------- flux

def track_flux(args):
    """Flux of one track: a list per revolution of (duration_ticks, intervals)."""
    (lay, cyl, head, sector_data, revs, rpm, jitter, wobble, damage,
     damage_kind, seed) = args
    rnd = random.Random(seed)
    ones, data_cells = encode_track(lay, cyl, head, sector_data)
    n = lay.cells_per_rev
    rev_time = 60.0 / rpm * (n * lay.cell) / (60.0 / lay.rpm)
    cell_read = rev_time / n
    jit = jitter * cell_read
    two_pi = 2 * math.pi
    k_wob = wobble / two_pi

    def when(r, cellpos):
        p = cellpos / n
        if wobble:
            p = p + k_wob * math.sin(two_pi * p)
        return (r + p) * rev_time

    result = []
    last_tick = 0
    for r in range(revs):
        # damaged cell ranges of this revolution
        ranges = []
        for (s, rr, b0, b1) in damage:
            if rr == r:
                a = data_cells[s] + b0 * 16
                ranges.append((a, data_cells[s] + b1 * 16))
        ranges.sort()
        times = []
        ri = 0
        for p in ones:
            while ri < len(ranges) and p >= ranges[ri][1]:
                ri += 1
            if ri < len(ranges) and ranges[ri][0] <= p < ranges[ri][1]:
                continue
            t = when(r, p + 0.5)
            if jit:
                t += (rnd.random() * 2 - 1) * jit
            times.append(t)
        for a, b in ranges:
            if damage_kind == "bits":
                # the clock cells stay, the data cells are random
                for q in range(a, b):
                    if (q - a) % 2 == 0 or rnd.random() < 0.5:
                        t = when(r, q + 0.5)
                        if jit:
                            t += (rnd.random() * 2 - 1) * jit
                        times.append(t)
                continue
            if damage_kind.startswith("slip"):
                # random flux of whole cells (1 to 3: clock cells go missing)
                # that holds K cells more than the stretch, squeezed into the
                # stretch's time: a loop reading it gains K cells
                k = int(damage_kind[4:])
                want = (b - a) + k
                steps = []
                while sum(steps) < want:
                    steps.append(rnd.choice((1, 2, 2, 3)))
                steps[-1] -= sum(steps) - want
                if steps[-1] == 0:
                    steps.pop()
                t0 = when(r, a - 0.5)
                span = when(r, b - 0.5) - t0
                acc = 0
                for st in steps[:-1]:
                    acc += st
                    t = t0 + span * acc / want
                    if jit:
                        t += (rnd.random() * 2 - 1) * jit
                    times.append(t)
                continue
            t = when(r, a + 0.5)
            end = when(r, b)
            while True:
                t += rnd.uniform(0.5, 2.8) * cell_read
                if t >= end:
                    break
                times.append(t)
        if ranges:
            times.sort()
        start_tick = int(round(r * rev_time / TICK))
        end_tick = int(round((r + 1) * rev_time / TICK))
        ivals = []
        for t in times:
            tk = int(round(t / TICK))
            if tk >= end_tick:
                tk = end_tick - 1
            if tk <= last_tick:
                tk = last_tick + 1
            ivals.append(tk - last_tick)
            last_tick = tk
        result.append((end_tick - start_tick, ivals))
    return (cyl, head, result)


# ---------------------------------------------------------------- SCP

def scp_bytes(tracks, revs, flags, heads_field):
    """tracks: dict track number -> list of (duration, intervals)."""
    table = [0] * 168
    body = bytearray()
    base = 16 + 168 * 4
    for tn in sorted(tracks):
        rev_list = tracks[tn]
        table[tn] = base + len(body)
        hdr = bytearray(b"TRK" + bytes([tn]))
        data = bytearray()
        offs = 4 + 12 * len(rev_list)
        entries = []
        for dur, ivals in rev_list:
            words = []
            for v in ivals:
                while v > 0xFFFF:
                    words.append(0)
                    v -= 0x10000
                words.append(v)
            entries.append((dur, len(words), offs + len(data)))
            data += struct.pack(">%dH" % len(words), *words)
        for e in entries:
            hdr += struct.pack("<III", *e)
        body += hdr + data
    first = min(tracks)
    last = max(tracks)
    rest = struct.pack("<168I", *table) + bytes(body)
    checksum = sum(rest) & 0xFFFFFFFF
    head = b"SCP" + bytes([0x22, 0x00, revs, first, last, flags, 0,
                           heads_field, 0]) + struct.pack("<I", checksum)
    return head + rest


# ---------------------------------------------------------------- fixtures

class Fixture:
    def __init__(self, name, lay, seed, clean, revs=3, rpm=None, jitter=0.0,
                 wobble=0.0, vote_sectors=(), one_rev_sectors=(),
                 imd=False, expect_names=None, damage_kind="noise"):
        self.name = name
        self.lay = lay
        self.seed = seed
        self.clean = clean
        self.revs = revs
        self.rpm = rpm or lay.rpm
        self.jitter = jitter
        self.wobble = wobble
        self.vote_sectors = list(vote_sectors)      # (c, h, s)
        self.one_rev_sectors = list(one_rev_sectors)
        self.imd = imd
        self.expect_names = expect_names or [lay.name]
        self.damage_kind = damage_kind


def fixtures(quick):
    L3740 = ibm3740()
    ss40 = dfs(40, 1)
    ds80 = dfs(80, 2)
    ds40 = dfs(40, 2)
    fx = []
    fx.append(Fixture("3740-clean", L3740, 3740, clean=True, revs=2,
                      imd=True))
    fx.append(Fixture("dfs-ss40-clean", ss40, 4001, clean=True, revs=2,
                      imd=True))
    if not quick:
        fx.append(Fixture("dfs-ds80-clean", ds80, 8002, clean=True, revs=2))
    levels = (0.12,) if quick else (0.05, 0.10, 0.12, 0.15)
    for j in levels:
        fx.append(Fixture("dfs-ds%d-jit%02d" % (40 if quick else 80,
                                                round(j * 100)),
                          ds40 if quick else ds80, 9000 + round(j * 100),
                          clean=False, revs=3, rpm=299, jitter=j,
                          wobble=0.004))
    fx.append(Fixture("3740-vote", L3740, 3741, clean=False, revs=3,
                      rpm=359, jitter=0.08, wobble=0.004,
                      vote_sectors=[(2, 0, 1), (30, 0, 13), (76, 0, 26)],
                      one_rev_sectors=[(50, 0, 7)]))
    if not quick:
        fx.append(Fixture("dfs-ds80-vote", ds80, 8003, clean=False, revs=3,
                          rpm=299, jitter=0.08, wobble=0.004,
                          vote_sectors=[(0, 0, 0), (10, 1, 5), (79, 1, 9),
                                        (45, 0, 3)],
                          one_rev_sectors=[(20, 1, 2)]))
        # the same damage in two tamer forms, to tell what defeats a vote:
        # "bits" keeps every clock cell at its time and makes the data cells
        # random (no loop can slip); "slip1" is random flux of whole cells
        # (missing clocks too) holding one cell more than the stretch, so a
        # loop reading it gains one cell and the rest of the field is read
        # one cell late
        for kind in ("bits", "slip1"):
            fx.append(Fixture("3740-vote-" + kind, L3740, 3742, clean=False,
                              revs=3, rpm=359, jitter=0.08, wobble=0.004,
                              vote_sectors=[(2, 0, 1), (30, 0, 13),
                                            (76, 0, 26)],
                              one_rev_sectors=[(50, 0, 7)],
                              damage_kind=kind))
    return fx


def damage_plan(fx):
    """(c, h) -> list of (sector, revolution, first byte, end byte)."""
    plan = {}
    size = fx.lay.size
    step = size // 4
    for (c, h, s) in fx.vote_sectors:
        for r in range(fx.revs):
            b0 = 8 + r * step + (c % 5)
            plan.setdefault((c, h), []).append((s, r, b0, b0 + 6))
    for (c, h, s) in fx.one_rev_sectors:
        plan.setdefault((c, h), []).append((s, 1, size // 3, size // 3 + 10))
    return plan


def make_fixture(fx, folder, pool):
    lay = fx.lay
    rnd = random.Random(fx.seed)
    image = bytearray(rnd.getrandbits(8) for _ in range(lay.image_bytes()))
    src_path = os.path.join(folder, fx.name + ".src.img")
    with open(src_path, "wb") as f:
        f.write(image)
    plan = damage_plan(fx)
    jobs = []
    for c in range(lay.cyls):
        for h in range(lay.heads):
            sd = {}
            for i in range(lay.sectors):
                s = lay.first + i
                o = lay.offset(c, h, s)
                sd[s] = bytes(image[o:o + lay.size])
            jobs.append((lay, c, h, sd, fx.revs, fx.rpm, fx.jitter, fx.wobble,
                         plan.get((c, h), []), fx.damage_kind,
                         fx.seed * 1000003 + c * 2 + h))
    tracks = {}
    for c, h, result in pool.map(track_flux, jobs, chunksize=4):
        tracks[c * 2 + h] = result
    flags = 0x01
    if lay.cyls > 42:
        flags |= 0x02
    if lay.rpm == 360:
        flags |= 0x04
    scp_path = os.path.join(folder, fx.name + ".scp")
    with open(scp_path, "wb") as f:
        f.write(scp_bytes(tracks, fx.revs, flags, 0 if lay.heads == 2 else 1))
    return bytes(image), src_path, scp_path


# ---------------------------------------------------------------- checks

def run(cmd, env=None):
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       env=env)
    return p.returncode, p.stdout.decode(errors="replace"), \
        p.stderr.decode(errors="replace")


def libdsk_check(fx, imd_path, src, folder):
    if not shutil.which("dsktrans"):
        return "no dsktrans"
    lay = fx.lay
    home = tempfile.mkdtemp(prefix="libdskhome.", dir=folder)
    section = "fmtest"
    with open(os.path.join(home, ".libdskrc"), "w") as f:
        f.write("[%s]\n" % section)
        f.write("description = FM test layout\n")
        f.write("sides = alt\n")
        f.write("cylinders = %d\nheads = %d\nsectors = %d\n"
                % (lay.cyls, lay.heads, lay.sectors))
        f.write("secbase = %d\nsecsize = %d\n" % (lay.first, lay.size))
        f.write("datarate = %s\n" % ("HD" if lay.rate == 250_000 else "SD"))
        f.write("fm = Y\n")
    out = os.path.join(folder, fx.name + ".libdsk.img")
    env = dict(os.environ, HOME=home)
    rc, so, se = run(["dsktrans", "-format", section, "-itype", "imd",
                      imd_path, "-otype", "raw", out], env=env)
    if rc != 0 or not os.path.exists(out):
        return "dsktrans rc=%d: %s" % (rc, (se or so).strip()[-200:])
    with open(out, "rb") as f:
        got = f.read()
    if got == src:
        return "ok"
    return "DIFFERS (%d bytes, source %d)" % (len(got), len(src))


def check_fixture(fx, folder, rawimage, src, src_path, scp_path):
    res = {"name": fx.name, "problems": [], "notes": []}
    lay = fx.lay
    rep = os.path.join(folder, fx.name + ".json")
    out = os.path.join(folder, fx.name + ".out.img")
    cmd = [rawimage, "-q", "--report", rep, "-o", out, scp_path]
    res["cmd"] = " ".join(cmd)
    t0 = time.time()
    rc, so, se = run(cmd)
    res["secs"] = time.time() - t0
    res["rc"] = rc
    res["summary"] = so.strip().splitlines()[-1] if so.strip() else ""
    if se.strip():
        res["notes"].append("stderr: " + se.strip().replace("\n", " | ")[:300])
    if rc not in (0, 1) or not os.path.exists(rep):
        res["problems"].append("rawimage exit %d: %s" % (rc, se.strip()[:300]))
        res.update(good=0, voted=0, notgood=0, wrong=0, total=0,
                   fmt="?", same=False)
        return res
    with open(rep) as f:
        report = json.load(f)
    with open(out, "rb") as f:
        img = f.read()
    geo = report.get("geometry", {})
    res["fmt"] = "%s %dx%d" % (geo.get("format"), geo.get("cylinders", 0),
                               geo.get("heads", 0))
    if geo.get("format") not in fx.expect_names:
        msg = "layout named %r, expected %s" % (geo.get("format"),
                                                " or ".join(fx.expect_names))
        (res["problems"] if fx.clean else res["notes"]).append(msg)
    if (geo.get("cylinders"), geo.get("heads"), geo.get("sectors"),
            geo.get("bytes"), geo.get("first")) != \
            (lay.cyls, lay.heads, lay.sectors, lay.size, lay.first):
        res["problems"].append("geometry %s, expected %dx%dx%dx%d from %d" % (
            {k: geo.get(k) for k in ("cylinders", "heads", "sectors", "bytes",
                                     "first")},
            lay.cyls, lay.heads, lay.sectors, lay.size, lay.first))
    good = voted = notgood = wrong = 0
    wrong_list, bad_list = [], []
    same_shape = len(img) == len(src)
    for sec in report.get("sectors", []):
        c, h, s = sec["cylinder"], sec["head"], sec["sector"]
        if sec["status"] == "good":
            good += 1
            if sec.get("voted"):
                voted += 1
            o = lay.offset(c, h, s)
            io = ((c * geo.get("heads", 1) + h) * geo.get("sectors", 1)
                  + (s - geo.get("first", 0))) * geo.get("bytes", lay.size)
            if (o < 0 or o + lay.size > len(src)
                    or img[io:io + lay.size] != src[o:o + lay.size]):
                wrong += 1
                wrong_list.append("%d/%d/%d" % (c, h, s))
        else:
            notgood += 1
            bad_list.append("%d/%d/%d:%s" % (c, h, s, sec["status"]))
    res["votes"] = ""
    if fx.vote_sectors:
        byk = {(x["cylinder"], x["head"], x["sector"]): x
               for x in report.get("sectors", [])}
        ok = sum(1 for k in fx.vote_sectors
                 if byk.get(k, {}).get("status") == "good"
                 and byk.get(k, {}).get("voted"))
        res["votes"] = "%d/%d" % (ok, len(fx.vote_sectors))
    res.update(good=good, voted=voted, notgood=notgood, wrong=wrong,
               total=len(report.get("sectors", [])))
    res["same"] = same_shape and img == src
    if wrong:
        res["problems"].append("WRONG bytes in good sectors: " +
                               ", ".join(wrong_list[:20]))
    expected_total = lay.cyls * lay.heads * lay.sectors
    if fx.clean:
        if good != expected_total or not res["same"]:
            res["problems"].append(
                "clean disk not read whole: %d of %d good, image %s; %s" % (
                    good, expected_total,
                    "identical" if res["same"] else "differs",
                    ", ".join(bad_list[:20])))
        if voted:
            res["notes"].append("%d voted sectors on a clean disk" % voted)
    else:
        by = {(x["cylinder"], x["head"], x["sector"]): x
              for x in report.get("sectors", [])}
        for key in fx.vote_sectors:
            x = by.get(key)
            if not x or x["status"] != "good" or not x.get("voted"):
                res["notes"].append(
                    "vote sector %d/%d/%d: %s%s" % (
                        key + ((x or {}).get("status", "absent"),
                               " (voted)" if x and x.get("voted") else "")))
        for key in fx.one_rev_sectors:
            x = by.get(key)
            if not x or x["status"] != "good":
                res["notes"].append("one-revolution damage %d/%d/%d: %s" % (
                    key + ((x or {}).get("status", "absent"),)))
        damaged = set(fx.vote_sectors) | set(fx.one_rev_sectors)
        others = [b for b in bad_list
                  if tuple(int(v) for v in b.split(":")[0].split("/"))
                  not in damaged]
        if others:
            res["notes"].append("undamaged sectors not good: %d (%s)" % (
                len(others), ", ".join(others[:12])))
        unexpected_votes = [
            "%d/%d/%d" % k for k, x in by.items()
            if x.get("voted") and k not in set(fx.vote_sectors)]
        if unexpected_votes:
            res["notes"].append("voted though not damaged in every "
                                "revolution: " + ", ".join(unexpected_votes[:12]))
    # BBC images
    extra = []
    if lay.name.startswith("acorn.dfs"):
        ext = ".ssd" if lay.heads == 1 else ".dsd"
        bbc = os.path.join(folder, fx.name + ".out" + ext)
        rc2, so2, se2 = run([rawimage, "-q", "-o", bbc, scp_path])
        if not os.path.exists(bbc):
            extra.append(ext + " not written (rc %d)" % rc2)
            res["problems"].append("%s not written: %s" % (ext, se2.strip()))
        else:
            with open(bbc, "rb") as f:
                b = f.read()
            if b == src:
                extra.append(ext + " ok")
            else:
                extra.append(ext + (" = plain image" if b == img
                                    else " differs"))
                if fx.clean or b != img:
                    res["problems"].append(
                        "%s differs from the source (%d bytes)%s" % (
                            ext, len(b), "" if b == img else
                            " and from the plain image"))
    if fx.imd:
        imd = os.path.join(folder, fx.name + ".out.imd")
        rc3, so3, se3 = run([rawimage, "-q", "-o", imd, scp_path])
        if not os.path.exists(imd):
            extra.append("imd not written")
            res["problems"].append("imd not written: " + se3.strip())
        else:
            with open(imd, "rb") as f:
                head = f.read()
            mode_note = imd_modes(head, lay)
            if mode_note:
                res["problems"].append(mode_note)
            r = libdsk_check(fx, imd, src, folder)
            extra.append("imd/libdsk " + r)
            if r not in ("ok", "no dsktrans"):
                res["problems"].append("libdsk read of the .imd: " + r)
    res["extra"] = ", ".join(extra)
    return res


def imd_modes(data, lay):
    """Checks the ImageDisk track records' modes against the layout's rate."""
    i = data.find(b"\x1a")
    if not data.startswith(b"IMD ") or i < 0:
        return "imd: no IMD header"
    i += 1
    want = 0 if lay.rate == 250_000 else 2  # 500 kbit/s FM / 250 kbit/s FM
    sizes = {0: 128, 1: 256, 2: 512, 3: 1024, 4: 2048, 5: 4096, 6: 8192}
    modes = set()
    tracks = 0
    try:
        while i < len(data):
            mode, cyl, head, n, code = data[i:i + 5]
            i += 5 + n
            if head & 0x80:
                i += n
            if head & 0x40:
                i += n
            if code == 0xFF:
                raise ValueError("size table")
            size = sizes[code]
            for _ in range(n):
                t = data[i]
                i += 1
                if t in (1, 3, 5, 7):
                    i += size
                elif t in (2, 4, 6, 8):
                    i += 1
            modes.add(mode)
            tracks += 1
    except (ValueError, KeyError) as e:
        return "imd: cannot walk the track records (%s)" % e
    if tracks != lay.cyls * lay.heads:
        return "imd: %d track records, expected %d" % (tracks,
                                                        lay.cyls * lay.heads)
    if modes != {want}:
        return "imd: track modes %s, expected %d" % (sorted(modes), want)
    return None


# ---------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="a small subset")
    ap.add_argument("--keep", metavar="DIR",
                    help="write fixtures and outputs to DIR and keep them")
    ap.add_argument("--only", metavar="TEXT",
                    help="only fixtures whose name contains TEXT")
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("--rawimage", default=os.path.join(
        here, "..", "build", "default", "rawimage"))
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    a = ap.parse_args()
    rawimage = os.path.abspath(a.rawimage)
    if not os.access(rawimage, os.X_OK):
        print("no rawimage at %s (build first)" % rawimage, file=sys.stderr)
        return 2
    if a.keep:
        folder = os.path.abspath(a.keep)
        os.makedirs(folder, exist_ok=True)
    else:
        folder = tempfile.mkdtemp(prefix="fm_independent.")
    results = []
    try:
        with ProcessPoolExecutor(max_workers=max(1, a.jobs)) as pool:
            for fx in fixtures(a.quick):
                if a.only and a.only not in fx.name:
                    continue
                t0 = time.time()
                src, src_path, scp_path = make_fixture(fx, folder, pool)
                gen = time.time() - t0
                r = check_fixture(fx, folder, rawimage, src, src_path,
                                  scp_path)
                r["gen"] = gen
                r["fx"] = fx
                results.append(r)
                print("%-16s made in %5.1f s, read in %5.1f s: %s" % (
                    fx.name, gen, r.get("secs", 0), r["summary"]),
                    flush=True)
    finally:
        if not a.keep:
            shutil.rmtree(folder, ignore_errors=True)

    print()
    hdr = ("fixture", "layout read", "rev", "rpm", "jit", "damage", "sectors",
           "good", "voted", "not good", "WRONG", "image", "rc",
           "votes expected", "other checks")
    rows = []
    for r in results:
        fx = r["fx"]
        rows.append((fx.name, r.get("fmt", "?"), str(fx.revs),
                     "%g" % fx.rpm, "%d%%" % round(fx.jitter * 100),
                     fx.damage_kind if fx.vote_sectors else "-",
                     str(r.get("total", 0)), str(r.get("good", 0)),
                     str(r.get("voted", 0)), str(r.get("notgood", 0)),
                     str(r.get("wrong", 0)),
                     "same" if r.get("same") else "differs",
                     str(r.get("rc")), r.get("votes", "") or "-",
                     r.get("extra", "")))
    widths = [max(len(x[i]) for x in rows + [hdr]) for i in range(len(hdr))]
    line = "  ".join("%-*s" % (w, h) for w, h in zip(widths, hdr))
    print(line)
    print("-" * len(line))
    for row in rows:
        print("  ".join("%-*s" % (w, v) for w, v in zip(widths, row)))
    print()
    failed = False
    for r in results:
        for p in r["problems"]:
            failed = True
            print("FAIL %s: %s\n     (%s)" % (r["name"], p, r["cmd"]))
        for n in r["notes"]:
            print("note %s: %s" % (r["name"], n))
    if a.keep:
        print("fixtures kept in", folder)
    print("FAILED" if failed else "all good sectors right; clean disks whole")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
