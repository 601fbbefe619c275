#!/usr/bin/env bash
# HTTPS benchmarks of sentrel-get (the monitor's HTTP client) side by side
# with curl (--http1.0), against one nginx with TLS on a loopback port that
# this script starts, with a certificate authority and a server certificate
# it makes with the openssl command, all in a temporary folder:
#   1. 200 sequential https GETs of a small page in one process: total time,
#      target sentrel-get at most 1.1x curl;
#   2. one 256 MiB https body to a file: throughput, target at least 0.8x curl.
# Both clients trust the CA (sentrel-get through SSL_CERT_FILE, curl through
# --cacert) and both resume TLS sessions between connections. Both sides run
# interleaved in shuffled order after warm-up rounds, with min / median / max
# and the ratio paired per round (bench/harness.py); the bytes each side
# received are checked on every run.
#   bench/https.sh            (uses build/, configured as a Release build if absent;
#                              build-bench/ when build/ is a sanitizer build)
#   ROUNDS=9 WARMUP=2 BUILD_DIR=... bench/https.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
requests=${REQUESTS:-200}
big_mib=${BIG_MIB:-256}

for tool in nginx curl openssl; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "bench: $tool is not installed (scripts/setup.sh)"; exit 1; }
done
. "$root/scripts/nginx-lib.sh"
. "$root/bench/lib.sh"

# --- the release build -----------------------------------------------------------
bench_build sentrel-get
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
page=$(stat -c %s "$work/www/index.html")
urls=()
for _ in $(seq "$requests"); do urls+=("$base/index.html"); done
bench_begin
bench_case -n get -l sentrel-get -e "out=$((requests * page))" -- "$get" -s "${urls[@]}"
bench_case -n curl -l curl -e "out=$((requests * page))" -- curl --http1.0 -s --cacert "$work/ca.pem" "${urls[@]}"
bench_run --title "1. $requests sequential https GETs in one process"
target "sentrel-get / curl, time of $requests https GETs" "$(result get.wall_ratio)" "<=" 1.1

# --- 2. one big body to a file -----------------------------------------------------
size=$((big_mib * 1024 * 1024))
bench_begin
bench_case -n get -l sentrel-get -e "file=$work/get.bin=$size" -- "$get" -s -o "$work/get.bin" "$base/big.bin"
bench_case -n curl -l curl -e "file=$work/curl.bin=$size" -- \
    curl --http1.0 -s --cacert "$work/ca.pem" -o "$work/curl.bin" "$base/big.bin"
bench_run --title "2. one ${big_mib} MiB body over https to a file" --bytes "$size"
target "sentrel-get / curl, https throughput" "$(result get.mibs_ratio)" ">=" 0.8
# The bytes, not only their count: one more fetch compared with the file.
"$get" -s -o "$work/get.bin" "$base/big.bin"
cmp -s "$work/get.bin" "$work/www/big.bin" || { echo "bench: sentrel-get wrote other bytes than the server sent"; exit 1; }
rm -f "$work/get.bin"

bench_verdict
