#!/usr/bin/env bash
# Two builds side by side in one run: rawimage of each on a clean 1.44 MB
# raw capture, on a three-revolution SCP image of a 1.44 MB disk and, when
# the real-flux test set is there, on its hundred-revolution damaged track;
# one run of each build in turn, the median of the per-pair ratios (new /
# old), and each build's peak memory on the hundred-revolution track. Then
# the new build alone on an AmigaDOS disk's SCP beside an IBM one of the
# same flux (80 cylinders, 3 revolutions of 100,000 cells): amiga / ibm.
#   bench/compare_builds.sh OLD_BUILD_DIR [NEW_BUILD_DIR [RUNS]]
# NEW_BUILD_DIR needs the tests' make_scp (build/bench by default).
set -euo pipefail
old=$1
new=${2:-build/bench}
runs=${3:-15}
here=$(cd "$(dirname "$0")" && pwd)
capture=$new/tests/fixtures/fat1440_driveB.raw
[ -f "$capture" ] || capture=$new/bench/fixtures/fat1440_driveB.raw
for b in "$old" "$new"; do
    [ -x "$b/rawimage" ] || { echo "no rawimage in $b (build it: cmake --build $b --target rawimage)" >&2; exit 2; }
done
[ -x "$new/tests/make_scp" ] || { echo "no tests/make_scp in $new (cmake --build --preset bench)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# shellcheck source=bench/timing.sh
. "$here/timing.sh"

paired() {
    local label=$1 input=$2 ratios=() olds=() news=()
    for _ in $(seq "$runs"); do
        local o n
        o=$(run_us "$old/rawimage" -q -o "$work/o.img" "$input")
        n=$(run_us "$new/rawimage" -q -o "$work/n.img" "$input")
        olds+=("$o") news+=("$n") ratios+=("$(awk "BEGIN {print $n / $o}")")
    done
    printf '%-34s old %8.2f ms  new %8.2f ms  new/old %.2f\n' "$label" \
        "$(printf '%s\n' "${olds[@]}" | median | awk '{print $1 / 1000}')" \
        "$(printf '%s\n' "${news[@]}" | median | awk '{print $1 / 1000}')" \
        "$(printf '%s\n' "${ratios[@]}" | median)"
}

# The new build on two inputs in turn: the median of the ratios b / a.
inputs() {
    local label=$1 a=$2 b=$3 ratios=()
    for _ in $(seq "$runs"); do
        local x y
        x=$(run_us "$new/rawimage" -q -o "$work/a.img" "$a")
        y=$(run_us "$new/rawimage" -q -o "$work/b.adf" "$b")
        ratios+=("$(awk "BEGIN {print $y / $x}")")
    done
    printf '%-34s %.2f\n' "$label" "$(printf '%s\n' "${ratios[@]}" | median)"
}

cp "$capture" "$work/disk.raw"
paired "clean 1.44 MB raw capture" "$work/disk.raw"
"$new/tests/make_scp" "$work/hd.scp" >/dev/null
paired "1.44 MB SCP, 3 revolutions" "$work/hd.scp"
retry=$here/../../shared/fixtures/real-flux/RETRY-77-4-t73.0.scp.xz
if [ -f "$retry" ]; then
    xz -dc "$retry" > "$work/retry.scp"
    runs=$(( (runs + 2) / 3 )) paired "damaged track, 100 revolutions" "$work/retry.scp"
    for b in "$old" "$new"; do
        kb=$(/usr/bin/time -f %M "$b/rawimage" -q -o "$work/m.img" "$work/retry.scp" 2>&1 >/dev/null | tail -1 || true)
        echo "peak memory, 100 revolutions, $b: $((kb / 1024)) MiB"
    done
fi
"$new/tests/make_scp" "$work/ibm-dd.scp" 80 9 3 >/dev/null
"$new/tests/make_scp" --amiga "$work/amiga-dd.scp" 80 11 3 >/dev/null
inputs "AmigaDOS SCP / IBM SCP, same flux" "$work/ibm-dd.scp" "$work/amiga-dd.scp"
