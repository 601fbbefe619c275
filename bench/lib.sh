# shellcheck shell=bash
# What the benchmarks in bench/ share: the Release build they measure, the
# peers they install, the side-by-side runs of bench/harness.py, a process's
# CPU, memory and descriptors read from /proc, and the verdict on a target.
# Sourced, never run, by bash scripts under `set -euo pipefail`, after
# scripts/nginx-lib.sh:
#   bench_build sentrel-get              # sets $build, builds the targets
#   bench_begin
#   bench_case -n get -l sentrel-get -e out=530 -- "$build/sentrel-get" -s "$url"
#   bench_case -n curl -l curl -e out=530 -- curl -s "$url"
#   bench_run --title "one GET" --ref curl
#   target "sentrel-get / curl, wall" "$(result get.wall_ratio)" "<=" 1.0
#   bench_verdict                        # last: prints the count, exits 1 on a miss

bench_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_rounds=${ROUNDS:-7}
bench_warmup=${WARMUP:-2}
bench_missed=0
bench_met=0
# The list of cases and the medians live in the script's $work (see
# scripts/nginx-lib.sh), which goes away with it however it ends.
bench_results=
bench_cases=
echo "bench: ${0##*/} on $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"

# bench_build TARGET...: the build folder to measure in $build (BUILD_DIR, or
# build/, or build-bench/ beside a sanitizer build/), configured as a Release
# build when new, with TARGET built in it.
bench_build() {
    build=${BUILD_DIR:-$bench_root/build}
    if [ -f "$build/CMakeCache.txt" ] && grep -q '^SENTREL_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
        # Timings of a sanitizer build say nothing; measure a Release build beside it.
        echo "bench: $build is a sanitizer build; measuring $bench_root/build-bench instead"
        build=$bench_root/build-bench
    fi
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$bench_root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSENTREL_TESTS=OFF >/dev/null
    fi
    grep -q '^CMAKE_BUILD_TYPE:STRING=Release' "$build/CMakeCache.txt" ||
        echo "bench: note: $build is not configured as Release"
    local log
    if ! log=$(cmake --build "$build" --target "$@" 2>&1); then
        echo "bench: building $* failed:"
        echo "$log" | tail -30
        exit 1
    fi
}

# bench_has_target NAME: whether the build defines the target NAME (a program
# another branch adds may not be there yet).
bench_has_target() {
    grep -q "/CMakeFiles/$1\.dir\$" "$build/CMakeFiles/TargetDirectories.txt"
}

# bench_need PACKAGE...: installs the Debian packages that are missing.
# Benchmark peers only: CI does not run the benchmarks, so scripts/setup.sh
# does not install them.
bench_need() {
    local p missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "bench: installing ${missing[*]} (benchmark peers)"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1 ||
        { $sudo apt-get update -qq && $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; } ||
        { echo "bench: cannot install ${missing[*]}"; exit 1; }
}

# bench_begin: starts a new list of cases (after nginx_workdir).
bench_begin() {
    bench_cases=${work:?bench_begin needs the folder of nginx_workdir}/bench-cases
    bench_results=$work/bench-results
    : >"$bench_cases"
    touch "$bench_results"
}

# bench_case -n NAME [-l LABEL] [-e CHECK]... -- COMMAND...: adds a case (see
# bench/harness.py for the checks: rc=, out=, out>=, file=, lines=, mark=,
# sent=, pid=, cwd=).
bench_case() {
    local name="" label="" checks=()
    while [ $# -gt 0 ]; do
        case $1 in
            -n) name=$2; shift 2 ;;
            -l) label=$2; shift 2 ;;
            -e) checks+=("$2"); shift 2 ;;
            --) shift; break ;;
            *) echo "bench_case: unknown option $1"; exit 2 ;;
        esac
    done
    printf '%s\0' "$name" "$label" "${#checks[@]}" ${checks[@]+"${checks[@]}"} "$#" "$@" >>"$bench_cases"
}

# bench_run [--title T] [--ref NAME] [--bytes N] [--timeout S]: runs the cases
# of bench_begin side by side and prints their figures.
bench_run() {
    python3 "$bench_root/bench/harness.py" "$bench_cases" --rounds "$bench_rounds" --warmup "$bench_warmup" \
        --results "$bench_results" "$@"
}

# result KEY: a median the last runs left ("get.wall_ratio"), empty if none.
result() { [ -z "$bench_results" ] || awk -F= -v k="$1" '$1 == k { v = $2 } END { print v }' "$bench_results"; }

# target TEXT VALUE OP LIMIT: prints the verdict on one target (OP is <=, < or >=)
# and counts it.
target() {
    local text=$1 value=$2 op=$3 limit=$4
    if [ -z "$value" ]; then
        echo "   target $text $op $limit: no figure"
        bench_missed=$((bench_missed + 1))
    elif awk -v v="$value" -v l="$limit" -v op="$op" 'BEGIN { exit !(op == "<=" ? v <= l : op == "<" ? v < l : v >= l) }'; then
        echo "   target $text: $value $op $limit: met"
        bench_met=$((bench_met + 1))
    else
        echo "!! target $text: $value $op $limit: MISSED"
        bench_missed=$((bench_missed + 1))
    fi
}

# bench_verdict: the count of targets met and missed; the exit status of a
# script is 1 when any was missed.
bench_verdict() {
    echo "targets: $bench_met met, $bench_missed missed (load average now $(cut -d' ' -f1-3 /proc/loadavg))"
    [ "$bench_missed" -eq 0 ]
}

# proc_cpu_ms PID: CPU time (user + system) the process has used, in ms.
proc_cpu_ms() {
    awk -v hz="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); printf "%.0f\n", ($12 + $13) * 1000 / hz }' "/proc/$1/stat"
}

# proc_rss_kib PID: the process's resident memory now, in KiB.
proc_rss_kib() { awk '$1 == "VmRSS:" { print $2 }' "/proc/$1/status"; }

# proc_fds PID: the descriptors the process holds open.
proc_fds() { find "/proc/$1/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }

# proc_threads PID: its threads.
proc_threads() { awk '$1 == "Threads:" { print $2 }' "/proc/$1/status"; }

# fmt_div A B [DECIMALS]: A / B.
fmt_div() { awk -v a="$1" -v b="$2" -v d="${3:-2}" 'BEGIN { if (b == 0) print ""; else printf "%.*f\n", d, a / b }'; }

# median V...: the median of the numbers.
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# spread V...: "min / median / max" of the numbers, two decimals.
spread() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
        END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.2f / %.2f / %.2f\n", v[1], m, v[NR] }'
}
