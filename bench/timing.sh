# shellcheck shell=bash
# Timing of the benchmarks that set sentrel-get beside curl: each command runs
# a few times and the best time counts, so a busy machine disturbs it less.
# Sourced by bench/run.sh and bench/https.sh.

# keep_best VAR COMMAND...: runs COMMAND (a failure ends the script, as
# anywhere under set -e) and puts its time in ms into VAR when that is lower.
keep_best() {
    local var=$1 t0 t1 t
    shift
    t0=$(date +%s%N)
    "$@"
    t1=$(date +%s%N)
    t=$(((t1 - t0) / 1000000))
    if [ "$t" -lt "${!var}" ]; then printf -v "$var" '%s' "$t"; fi
}

# ratio A B: A / B with two decimals.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# mib_per_s BYTES MS: BYTES in MS milliseconds as whole MiB per second.
mib_per_s() { awk -v s="$1" -v t="$2" 'BEGIN { printf "%.0f", s / 1048576 / (t / 1000) }'; }
