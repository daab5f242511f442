# Timing helpers of the bench scripts (sourced, not run).

# Wall time of one run of a command in microseconds (no process is started
# to read the clock).
run_us() {
    local t0=${EPOCHREALTIME/./}
    "$@" >/dev/null 2>&1 || true
    echo $(( ${EPOCHREALTIME/./} - t0 ))
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
