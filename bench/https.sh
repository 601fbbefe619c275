#!/usr/bin/env bash
# HTTPS benchmarks of sentrel-get (the monitor's HTTP client) side by side
# with curl (--http1.0), against one nginx with TLS on a loopback port that
# this script starts, with a certificate authority and a server certificate
# it makes with the openssl command, all in a temporary folder:
#   1. 200 sequential https GETs of a small page in one process: total time,
#      target sentrel-get at most 1.1x curl;
#   2. one 256 MiB https body to a file: throughput, target at least 0.8x curl.
# Both clients trust the CA (sentrel-get through SSL_CERT_FILE, curl through
# --cacert) and both resume TLS sessions between connections. Each timing is
# the best of a few runs.
#   bench/https.sh            (uses build/, configured as a Release build if absent)
#   BUILD_DIR=... RUNS=5 bench/https.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
runs=${RUNS:-5}
requests=${REQUESTS:-200}
big_mib=${BIG_MIB:-256}

for tool in nginx curl openssl; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "bench: $tool is not installed (scripts/setup.sh)"; exit 1; }
done
. "$root/scripts/nginx-lib.sh"
. "$root/bench/timing.sh"

# --- the release build -----------------------------------------------------------
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
if grep -q '^SENTREL_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
    echo "bench: $build is a sanitizer build; use a Release build (BUILD_DIR=...)"
    exit 1
fi
grep -q '^CMAKE_BUILD_TYPE:STRING=Release' "$build/CMakeCache.txt" ||
    echo "bench: note: $build is not configured as Release"
cmake --build "$build" --target sentrel-get >/dev/null
get=$build/sentrel-get

nginx_workdir sentrel-https-bench

# --- certificates ----------------------------------------------------------------
make_ca "Sentrel bench CA $$"
make_cert server "DNS:localhost,IP:127.0.0.1" localhost

# --- nginx -------------------------------------------------------------------------
printf '<html><body>Sentrel benchmark page</body></html>\n' >"$work/www/index.html"
head -c $((big_mib * 1024 * 1024)) /dev/urandom >"$work/www/big.bin"
port=$(free_port)
{
    nginx_conf_prologue 1024
    cat <<CONF
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$port ssl;
        server_name localhost;
        ssl_certificate $work/server.pem;
        ssl_certificate_key $work/server.key;
        ssl_protocols TLSv1.2 TLSv1.3;
        root $work/www;
    }
}
CONF
} >"$work/nginx.conf"
start_nginx "https://localhost:$port/index.html" --cacert "$work/ca.pem"
base="https://localhost:$port"
export SSL_CERT_FILE=$work/ca.pem

# --- 1. many small GETs ------------------------------------------------------------
urls=()
for _ in $(seq "$requests"); do urls+=("$base/index.html"); done
"$get" -s "$base/index.html" >/dev/null || { echo "bench: sentrel-get cannot fetch over TLS"; exit 1; }
best_get=999999
best_curl=999999
for _ in $(seq "$runs"); do
    keep_best best_get "$get" -s "${urls[@]}" >/dev/null
    keep_best best_curl curl --http1.0 -s --cacert "$work/ca.pem" "${urls[@]}" >/dev/null
done
small_ratio=$(ratio "$best_get" "$best_curl")
echo "1. $requests sequential https GETs: sentrel-get ${best_get} ms, curl ${best_curl} ms, ratio ${small_ratio}x (target <= 1.1x)"

# --- 2. one big body to a file -----------------------------------------------------
size=$((big_mib * 1024 * 1024))
best_get=999999
best_curl=999999
for _ in $(seq "$runs"); do
    keep_best best_get "$get" -s -o "$work/out.bin" "$base/big.bin"
    [ "$(stat -c %s "$work/out.bin")" -eq "$size" ] || { echo "bench: sentrel-get wrote a short file"; exit 1; }
    cmp -s "$work/out.bin" "$work/www/big.bin" || { echo "bench: sentrel-get wrote other bytes"; exit 1; }
    rm -f "$work/out.bin"
    keep_best best_curl curl --http1.0 -s --cacert "$work/ca.pem" -o "$work/out.bin" "$base/big.bin"
    rm -f "$work/out.bin"
done
mbps_get=$(mib_per_s "$size" "$best_get")
mbps_curl=$(mib_per_s "$size" "$best_curl")
big_ratio=$(ratio "$mbps_get" "$mbps_curl")
echo "2. ${big_mib} MiB over https to a file: sentrel-get ${mbps_get} MiB/s (${best_get} ms), curl ${mbps_curl} MiB/s (${best_curl} ms), ratio ${big_ratio}x (target >= 0.8x)"

fail=0
awk -v r="$small_ratio" 'BEGIN { exit !(r <= 1.1) }' || { echo "!! many https GETs above 1.1x curl's time"; fail=1; }
awk -v r="$big_ratio" 'BEGIN { exit !(r >= 0.8) }' || { echo "!! big https body below 0.8x curl's throughput"; fail=1; }
[ "$fail" -eq 0 ] && echo "all targets met"
exit "$fail"
