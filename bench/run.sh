#!/usr/bin/env bash
# Benchmarks of sentrel-get (the monitor's HTTP client) side by side with curl
# (--http1.0), against an nginx on a loopback port that this script starts
# with a configuration it writes into a temporary folder:
#   1. 500 sequential GETs of a small page in one process: total time, target
#      sentrel-get at most 1.0x curl;
#   2. one 256 MiB body to a file: throughput, target at least 0.9x curl, and
#      the resident memory of sentrel-get under 32 MiB;
#   3. a 5 s wait for a slow server: CPU time of sentrel-get under 50 ms.
# Each timing is the best of a few runs, so a busy machine disturbs it less.
#   bench/run.sh            (uses build/, configured as a Release build if absent;
#                            build-bench/ when build/ is a sanitizer build)
#   BUILD_DIR=... RUNS=5 bench/run.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
runs=${RUNS:-5}
requests=${REQUESTS:-500}
big_mib=${BIG_MIB:-256}

for tool in nginx curl; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "bench: $tool is not installed (scripts/setup.sh)"; exit 1; }
done
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing (scripts/setup.sh installs it)"; exit 1; }
. "$root/scripts/nginx-lib.sh"
. "$root/bench/timing.sh"

# --- the release build -----------------------------------------------------------
if [ -f "$build/CMakeCache.txt" ] && grep -q '^SENTREL_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
    # Timings of a sanitizer build say nothing; measure a Release build beside it.
    echo "bench: $build is a sanitizer build; measuring $root/build-bench instead"
    build=$root/build-bench
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
grep -q '^CMAKE_BUILD_TYPE:STRING=Release' "$build/CMakeCache.txt" ||
    echo "bench: note: $build is not configured as Release"
if ! log=$(cmake --build "$build" --target sentrel-get 2>&1); then
    echo "bench: building sentrel-get failed:"
    echo "$log" | tail -30
    exit 1
fi
get=$build/sentrel-get

# --- nginx -------------------------------------------------------------------------
nginx_workdir sentrel-bench
printf '<html><body>Sentrel benchmark page</body></html>\n' >"$work/www/index.html"
head -c $((big_mib * 1024 * 1024)) /dev/urandom >"$work/www/big.bin"

port=$(free_port)
echo_module=/usr/lib/nginx/modules/ngx_http_echo_module.so
load=""
slow=""
if [ -f "$echo_module" ]; then
    load="load_module $echo_module;"
    slow="location = /slow { echo_sleep 5; echo late; }"
fi
{
    echo "$load"
    nginx_conf_prologue 1024
    cat <<CONF
    default_type application/octet-stream;
    sendfile on;
    server {
        listen 127.0.0.1:$port;
        root $work/www;
        $slow
    }
}
CONF
} >"$work/nginx.conf"
start_nginx "http://127.0.0.1:$port/index.html"
base="http://127.0.0.1:$port"

# --- 1. many small GETs ------------------------------------------------------------
urls=()
for _ in $(seq "$requests"); do urls+=("$base/index.html"); done
best_get=999999
best_curl=999999
for _ in $(seq "$runs"); do
    keep_best best_get "$get" -s "${urls[@]}" >/dev/null
    keep_best best_curl curl --http1.0 -s "${urls[@]}" >/dev/null
done
small_ratio=$(ratio "$best_get" "$best_curl")
echo "1. $requests sequential GETs: sentrel-get ${best_get} ms, curl ${best_curl} ms, ratio ${small_ratio}x (target <= 1.0x)"

# --- 2. one big body to a file -----------------------------------------------------
size=$((big_mib * 1024 * 1024))
best_get=999999
best_curl=999999
rss=0
for _ in $(seq "$runs"); do
    keep_best best_get /usr/bin/time -f '%M' -o "$work/rss" "$get" -s -o "$work/out.bin" "$base/big.bin"
    r=$(tail -1 "$work/rss"); [ "$r" -gt "$rss" ] && rss=$r
    [ "$(stat -c %s "$work/out.bin")" -eq "$size" ] || { echo "bench: sentrel-get wrote a short file"; exit 1; }
    rm -f "$work/out.bin"
    keep_best best_curl curl --http1.0 -s -o "$work/out.bin" "$base/big.bin"
    rm -f "$work/out.bin"
done
mbps_get=$(mib_per_s "$size" "$best_get")
mbps_curl=$(mib_per_s "$size" "$best_curl")
big_ratio=$(ratio "$mbps_get" "$mbps_curl")
echo "2. ${big_mib} MiB to a file: sentrel-get ${mbps_get} MiB/s (${best_get} ms), curl ${mbps_curl} MiB/s (${best_curl} ms), ratio ${big_ratio}x (target >= 0.9x)"
echo "   sentrel-get maximum resident memory: $((rss / 1024)) MiB (${rss} kB; target < 32 MiB)"

# --- 3. waiting for a slow server --------------------------------------------------
if [ -n "$slow" ]; then
    /usr/bin/time -f '%e %U %S' -o "$work/cpu" "$get" -s "$base/slow" >/dev/null
    read -r wall user sys <"$work/cpu"
    cpu_ms=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.0f", (u + s) * 1000 }')
    /usr/bin/time -f '%e %U %S' -o "$work/cpu" curl --http1.0 -s "$base/slow" >/dev/null
    read -r cwall cuser csys <"$work/cpu"
    ccpu_ms=$(awk -v u="$cuser" -v s="$csys" 'BEGIN { printf "%.0f", (u + s) * 1000 }')
    echo "3. ${wall} s wait for a slow server: sentrel-get CPU ${cpu_ms} ms, curl CPU ${ccpu_ms} ms (target < 50 ms)"
else
    echo "3. slow server: skipped (nginx echo module not found at $echo_module)"
fi

fail=0
awk -v r="$small_ratio" 'BEGIN { exit !(r <= 1.0) }' || { echo "!! many GETs slower than curl"; fail=1; }
awk -v r="$big_ratio" 'BEGIN { exit !(r >= 0.9) }' || { echo "!! big body throughput below 0.9x curl"; fail=1; }
[ "$rss" -lt 32768 ] || { echo "!! resident memory 32 MiB or more"; fail=1; }
if [ -n "$slow" ] && [ "$cpu_ms" -ge 50 ]; then echo "!! CPU during the wait 50 ms or more"; fail=1; fi
[ "$fail" -eq 0 ] && echo "all targets met"
exit "$fail"
