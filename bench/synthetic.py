"""What the synthetic evaluations (amigaflux.py, fmflux.py) share: rawimage
run on one fixture, every sector it calls good checked against the image
the fixture was made from."""
import json
import os
import subprocess
import time


def evaluate(rawimage, capture, source, shape, cylinders, work, ext):
    """Runs rawimage on `capture` (image named x.EXT in `work`) and scores it
    against `source`, the plain image of `shape` (heads, sectors, bytes,
    first sector number) of `cylinders` cylinders; sectors of the image's
    layout past those are not scored. Returns [sectors, good, voted, not
    good, wrong], seconds, the wrong sectors' report entries and whether the
    image is the source byte for byte; or rawimage's complaint."""
    image, report = os.path.join(work, "x." + ext), os.path.join(work, "r.json")
    t0 = time.monotonic()
    run = subprocess.run([rawimage, "-q", "--report", report, "-o", image, capture],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    seconds = time.monotonic() - t0
    if run.returncode not in (0, 1):
        return "rawimage exited with status %d: %s" % (run.returncode, run.stderr.strip().split("\n")[-1])
    with open(report) as f:
        rep = json.load(f)
    with open(image, "rb") as f:
        img = f.read()
    g = rep["geometry"]
    heads, spt, size, first = shape
    row, wrong = [0] * 5, []
    for s in rep["sectors"]:
        if s["cylinder"] >= cylinders:
            continue
        at = ((s["cylinder"] * g["heads"] + s["head"]) * g["sectors"] + s["sector"] - g["first"]) * g["bytes"]
        src = ((s["cylinder"] * heads + s["head"]) * spt + s["sector"] - first) * size
        good = s["status"] == "good"
        bad = good and img[at:at + g["bytes"]] != source[src:src + size]
        row = [v + w for v, w in zip(row, (1, good, good and s["voted"], not good, bad))]
        if bad:
            wrong.append(s)
    return row, seconds, wrong, img == source
