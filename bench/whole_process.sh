#!/usr/bin/env bash
# Whole-process timings, side by side in one run: rawscan's binary mode
# against cat of the same capture (paired runs, everything to /dev/null) and
# rawscan's peak memory; rawimage against rawscan's binary mode on the same
# capture, and rawimage merging two captures; peak
# memory of rawimage on two 16 MiB captures; rawimage writing each image
# format; rawimage on a three-revolution
# SCP image of a 1.44 MB disk against cat of the same file. Median of N runs
# each. Build first: cmake --workflow --preset bench-run
#   bench/whole_process.sh [BUILD_DIR] [RUNS]
set -euo pipefail
build=${1:-build/bench}
runs=${2:-15}
capture=$build/tests/fixtures/fat1440_driveB.raw
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -f "$capture" ] || { echo "no fixture capture at $capture (build the tests first)" >&2; exit 2; }

# shellcheck source=bench/timing.sh
. "$(dirname "$0")/timing.sh"

# Median wall time of a command in milliseconds.
median_ms() {
    for _ in $(seq "$runs"); do run_us "$@"; done | median | awk '{printf "%.2f", $1 / 1000}'
}

# rawscan's binary mode beside cat, one of each in turn, so that both see
# the same machine; the median of the per-pair ratios.
paired_with_cat() {
    local ratios=() scans=() cats=()
    for _ in $(seq "$runs"); do
        local s c
        s=$(run_us "$build/rawscan" "$1" B -1 binary /dev/null)
        c=$(run_us cat "$1")
        scans+=("$s") cats+=("$c") ratios+=("$(awk "BEGIN {print $s / $c}")")
    done
    echo "rawscan binary, 1.44 MB capture:     $(printf '%s\n' "${scans[@]}" | median | awk '{printf "%.2f", $1 / 1000}') ms"
    echo "cat of the capture:                   $(printf '%s\n' "${cats[@]}" | median | awk '{printf "%.2f", $1 / 1000}') ms"
    echo "rawscan / cat, median of pairs:       $(printf '%s\n' "${ratios[@]}" | median | awk '{printf "%.2f", $1}') x"
}

cp "$capture" "$work/b.raw"
cp "$capture" "$work/c.raw"
cat "$work/b.raw" "$work/b.raw" > /dev/null
paired_with_cat "$work/b.raw"
if command -v /usr/bin/time >/dev/null; then
    kb=$(/usr/bin/time -f %M "$build/rawscan" "$work/b.raw" B -1 binary /dev/null 2>&1 >/dev/null | tail -1)
    echo "rawscan peak memory, $(($(stat -c %s "$work/b.raw") / 1024)) KiB capture: $((kb / 1024)) MiB"
fi
scan=$(median_ms "$build/rawscan" "$work/b.raw" B -1 binary "$work/scan.st")
one=$(median_ms "$build/rawimage" -o "$work/one.img" "$work/b.raw")
two=$(median_ms "$build/rawimage" -o "$work/two.img" "$work/b.raw" "$work/c.raw")
echo "rawscan binary, image to a file:      $scan ms"
echo "rawimage, same capture:               $one ms  ($(awk "BEGIN {printf \"%.2f\", $one / $scan}") x rawscan)"
echo "rawimage, merging two captures:       $two ms  ($(awk "BEGIN {printf \"%.2f\", $two / $scan}") x rawscan)"

# The image formats, one run of each in turn: the plain image beside
# ImageDisk on the 1.44 MB capture, and beside ImageDisk and MSA on a 720 KB
# disk an Atari ST reads.
"$build/st2raw" "$(dirname "$0")/../examples/example.st" "$work/dd.raw" >/dev/null
formats() {
    local label=$1 capture=$2 ext
    shift 2
    declare -A times
    for _ in $(seq "$runs"); do
        for ext in "$@"; do times[$ext]+="$(run_us "$build/rawimage" -q -o "$work/format.$ext" "$capture") "; done
    done
    for ext in "$@"; do
        printf 'rawimage -o IMAGE.%-4s %-16s %s ms\n' "$ext," "$label:" \
            "$(printf '%s\n' ${times[$ext]} | median | awk '{printf "%.2f", $1 / 1000}')"
    done
}
formats "1.44 MB capture" "$work/b.raw" img imd
formats "720 KB capture" "$work/dd.raw" st imd msa

# Two 16 MiB captures: both drive halves full (drive B read).
for n in 1 2; do
    cp "$capture" "$work/big$n.raw"
    truncate -s 16M "$work/big$n.raw"
done
if command -v /usr/bin/time >/dev/null; then
    kb=$(/usr/bin/time -f %M "$build/rawimage" -q -o "$work/big.img" "$work/big1.raw" "$work/big2.raw" 2>&1 >/dev/null | tail -1)
    echo "rawimage peak memory, two 16 MiB captures: $((kb / 1024)) MiB"
fi

# Flux: a 1.44 MB disk as a three-revolution SCP image (made once, kept).
scp=$build/bench/hd1440.scp
[ -f "$scp" ] || "$build/tests/make_scp" "$scp"
cat "$scp" > /dev/null
catscp=$(median_ms cat "$scp")
flux=$(median_ms "$build/rawimage" -q -o "$work/flux.img" "$scp")
echo "cat of the SCP image ($(($(stat -c %s "$scp") / 1000000)) MB):       $catscp ms"
echo "rawimage, same SCP image:             $flux ms  ($(awk "BEGIN {printf \"%.1f\", $flux / $catscp}") x cat)"

# FM beside MFM: flux of an Acorn DFS disk (80 x 2 x 10 x 256, FM at 125
# kbit/s) and of a 720 KB disk (80 x 2 x 9 x 512, MFM at 250 kbit/s), three
# revolutions each, the same cells per revolution; one run of each in turn,
# the median of the per-pair ratios.
fmscp=$build/bench/dfs-ds.scp mfmscp=$build/bench/dd720.scp
[ -f "$fmscp" ] || "$build/tests/make_scp" --fm acorn.dfs.ds "$fmscp"
[ -f "$mfmscp" ] || "$build/tests/make_scp" "$mfmscp" 80 9
fms=() mfms=() ratios=()
for _ in $(seq "$runs"); do
    f=$(run_us "$build/rawimage" -q -o "$work/fm.img" "$fmscp")
    m=$(run_us "$build/rawimage" -q -o "$work/mfm.img" "$mfmscp")
    fms+=("$f") mfms+=("$m") ratios+=("$(awk "BEGIN {print $f / $m}")")
done
echo "rawimage, FM SCP (Acorn DFS, 80 x 2):  $(printf '%s\n' "${fms[@]}" | median | awk '{printf "%.2f", $1 / 1000}') ms"
echo "rawimage, MFM SCP (720 KB, 80 x 2):    $(printf '%s\n' "${mfms[@]}" | median | awk '{printf "%.2f", $1 / 1000}') ms"
echo "FM / MFM, median of pairs:             $(printf '%s\n' "${ratios[@]}" | median | awk '{printf "%.2f", $1}') x"
