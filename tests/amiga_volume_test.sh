#!/bin/sh
# AmigaDOS volumes end to end: OFS disks made by make_adf.py are turned into
# flux by make_scp (an SCP image and a KryoFlux stream set each) and read
# back by rawimage; the image must come back byte for byte and unadf must
# extract every file of it unchanged.
#   sh tests/amiga_volume_test.sh BUILD_DIR      (exit 77: unadf or python3 missing)
build=${1:?usage: amiga_volume_test.sh BUILD_DIR}
for tool in unadf python3; do
    command -v $tool >/dev/null 2>&1 || { echo "skipped: no $tool"; exit 77; }
done
here=$(cd "$(dirname "$0")" && pwd)
revs=2
cases="dd-scp dd-kryoflux hd-scp hd-kryoflux"
work=$(mktemp -d "${TMPDIR:-/tmp}/amiga_volume.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM
passed=0 failed=0

python3 "$here/make_adf.py" "$work/dd.adf" --demo "$work/dd.src" &&
    python3 "$here/make_adf.py" "$work/hd.adf" --hd --demo "$work/hd.src" || exit 1

# The flux files take seconds each: make them side by side.
pids=
for case in $cases; do
    kind=${case%-*} spt=11 kf=
    [ "$kind" = hd ] && spt=22
    [ "${case#*-}" = kryoflux ] && kf=--kryoflux
    "$build/tests/make_scp" --amiga $kf --adf "$work/$kind.adf" "$work/$case" 80 $spt $revs \
        >"$work/$case.log" 2>&1 &
    pids="$pids $!"
done

set -- $pids    # one pid per case, in order
for case in $cases; do
    kind=${case%-*} back=$work/$case.adf files=$work/$case.files why=
    capture=$work/$case
    [ "${case#*-}" = kryoflux ] && capture=$capture/track00.0.raw
    wait "$1" || why="make_scp exit status $?: $(head -1 "$work/$case.log")"
    shift
    [ -n "$why" ] || "$build/rawimage" -q -o "$back" "$capture" >"$work/$case.log" 2>&1 ||
        why="rawimage exit status $?: $(cat "$work/$case.log")"
    [ -n "$why" ] || cmp -s "$work/$kind.adf" "$back" || why="image differs from the volume"
    if [ -z "$why" ]; then
        mkdir "$files" && unadf "$back" -d "$files" >/dev/null 2>&1
        diff -rq "$work/$kind.src" "$files" >"$work/$case.diff" 2>&1 ||
            why="unadf extraction differs: $(head -1 "$work/$case.diff")"
    fi
    if [ -z "$why" ]; then
        echo "PASS $case"; passed=$((passed + 1))
    else
        echo "FAIL $case: $why"; failed=$((failed + 1))
    fi
done
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
