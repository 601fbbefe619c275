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
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

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

work=$(mktemp -d "${TMPDIR:-/tmp}/sentrel-https-bench-XXXXXX")
nginx_pid=
cleanup() {
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# --- certificates ----------------------------------------------------------------
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -keyout "$work/ca.key" -out "$work/ca.pem" -subj "/CN=Sentrel bench CA $$" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout "$work/server.key" -out "$work/server.csr" -subj "/CN=localhost" 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >"$work/ext"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial \
    -days 2 -extfile "$work/ext" -out "$work/server.pem" 2>/dev/null

# --- nginx -------------------------------------------------------------------------
mkdir -p "$work/www" "$work/tmp"
printf '<html><body>Sentrel benchmark page</body></html>\n' >"$work/www/index.html"
head -c $((big_mib * 1024 * 1024)) /dev/urandom >"$work/www/big.bin"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $work/tmp/body;
    proxy_temp_path $work/tmp/proxy;
    fastcgi_temp_path $work/tmp/fastcgi;
    uwsgi_temp_path $work/tmp/uwsgi;
    scgi_temp_path $work/tmp/scgi;
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
"$nginx_bin" -e "$work/error.log" -p "$work/" -c "$work/nginx.conf" &
nginx_pid=$!
for _ in $(seq 100); do
    curl -s --cacert "$work/ca.pem" -o /dev/null "https://localhost:$port/index.html" && break
    sleep 0.05
done
base="https://localhost:$port"
export SSL_CERT_FILE=$work/ca.pem

now() { date +%s%N; }
ms() { echo $((($2 - $1) / 1000000)); }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# --- 1. many small GETs ------------------------------------------------------------
urls=()
for _ in $(seq "$requests"); do urls+=("$base/index.html"); done
"$get" -s "$base/index.html" >/dev/null || { echo "bench: sentrel-get cannot fetch over TLS"; exit 1; }
best_get=999999
best_curl=999999
for _ in $(seq "$runs"); do
    t0=$(now); "$get" -s "${urls[@]}" >/dev/null; t1=$(now)
    t=$(ms "$t0" "$t1"); [ "$t" -lt "$best_get" ] && best_get=$t
    t0=$(now); curl --http1.0 -s --cacert "$work/ca.pem" "${urls[@]}" >/dev/null; t1=$(now)
    t=$(ms "$t0" "$t1"); [ "$t" -lt "$best_curl" ] && best_curl=$t
done
small_ratio=$(ratio "$best_get" "$best_curl")
echo "1. $requests sequential https GETs: sentrel-get ${best_get} ms, curl ${best_curl} ms, ratio ${small_ratio}x (target <= 1.1x)"

# --- 2. one big body to a file -----------------------------------------------------
size=$((big_mib * 1024 * 1024))
best_get=999999
best_curl=999999
for _ in $(seq "$runs"); do
    t0=$(now); "$get" -s -o "$work/out.bin" "$base/big.bin"; t1=$(now)
    t=$(ms "$t0" "$t1"); [ "$t" -lt "$best_get" ] && best_get=$t
    [ "$(stat -c %s "$work/out.bin")" -eq "$size" ] || { echo "bench: sentrel-get wrote a short file"; exit 1; }
    cmp -s "$work/out.bin" "$work/www/big.bin" || { echo "bench: sentrel-get wrote other bytes"; exit 1; }
    rm -f "$work/out.bin"
    t0=$(now); curl --http1.0 -s --cacert "$work/ca.pem" -o "$work/out.bin" "$base/big.bin"; t1=$(now)
    t=$(ms "$t0" "$t1"); [ "$t" -lt "$best_curl" ] && best_curl=$t
    rm -f "$work/out.bin"
done
mbps_get=$(awk -v s="$size" -v t="$best_get" 'BEGIN { printf "%.0f", s / 1048576 / (t / 1000) }')
mbps_curl=$(awk -v s="$size" -v t="$best_curl" 'BEGIN { printf "%.0f", s / 1048576 / (t / 1000) }')
big_ratio=$(ratio "$mbps_get" "$mbps_curl")
echo "2. ${big_mib} MiB over https to a file: sentrel-get ${mbps_get} MiB/s (${best_get} ms), curl ${mbps_curl} MiB/s (${best_curl} ms), ratio ${big_ratio}x (target >= 0.8x)"

fail=0
awk -v r="$small_ratio" 'BEGIN { exit !(r <= 1.1) }' || { echo "!! many https GETs above 1.1x curl's time"; fail=1; }
awk -v r="$big_ratio" 'BEGIN { exit !(r >= 0.8) }' || { echo "!! big https body below 0.8x curl's throughput"; fail=1; }
[ "$fail" -eq 0 ] && echo "all targets met"
exit "$fail"
