#!/bin/sh
# AmigaDOS volumes end to end: OFS disks made by make_adf.py are turned into
# flux by make_scp (an SCP image and a KryoFlux stream set each) and read
# back by rawimage; the image must come back byte for byte and unadf must
# extract every file of it unchanged.
#   sh tests/amiga_volume_test.sh BUILD_DIR      (exit 77: unadf or python3 missing)
build=${1:?usage: amiga_volume_test.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
revs=2
for tool in unadf python3; do
    command -v $tool >/dev/null 2>&1 || { echo "skipped: no $tool"; exit 77; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/amiga_volume.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM
passed=0 failed=0

# result NAME WHY: one line for a case, WHY empty when it passed.
result() {
    if [ -z "$2" ]; then
        echo "PASS $1"; passed=$((passed + 1))
    else
        echo "FAIL $1: $2"; failed=$((failed + 1))
    fi
}

# readback NAME VOLUME SOURCE_DIR CAPTURE
readback() {
    back=$work/$1.adf files=$work/$1.files why=
    "$build/rawimage" -q -o "$back" "$4" >"$work/$1.log" 2>&1 || why="rawimage exit status $?: $(cat "$work/$1.log")"
    [ -n "$why" ] || cmp -s "$2" "$back" || why="image differs from the volume"
    if [ -z "$why" ]; then
        mkdir "$files" && unadf "$back" -d "$files" >/dev/null 2>&1
        diff -r "$3" "$files" >"$work/$1.diff" 2>&1 || why="unadf extraction differs: $(head -3 "$work/$1.diff")"
    fi
    result "$1" "$why"
}

for kind in dd hd; do
    vol=$work/$kind.adf src=$work/$kind.src spt=11 hd=
    [ $kind = hd ] && spt=22 hd=--hd
    if ! python3 "$here/make_adf.py" "$vol" $hd --demo "$src"; then
        result "$kind make_adf" "make_adf.py failed"; continue
    fi
    if "$build/tests/make_scp" --amiga --adf "$vol" "$work/$kind.scp" 80 $spt $revs; then
        readback "$kind-scp" "$vol" "$src" "$work/$kind.scp"
    else
        result "$kind-scp" "make_scp failed"
    fi
    if "$build/tests/make_scp" --amiga --kryoflux --adf "$vol" "$work/$kind.kf" 80 $spt $revs; then
        readback "$kind-kryoflux" "$vol" "$src" "$work/$kind.kf/track00.0.raw"
    else
        result "$kind-kryoflux" "make_scp failed"
    fi
done
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
