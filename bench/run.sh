#!/usr/bin/env bash
# Benchmarks of sentrel-get (the monitor's HTTP client) side by side with curl
# (--http1.0), against an nginx on a loopback port that this script starts
# with a configuration it writes into a temporary folder. Every comparison
# runs both sides interleaved in shuffled order after warm-up rounds and
# prints min / median / max with the ratio paired per round (bench/harness.py);
# the bytes each side received are checked on every run.
#   1. 500 sequential GETs of a small page in one process: target sentrel-get
#      at most 1.0x curl's time;
#   2. one 256 MiB body to a file: target at least 0.9x curl's throughput,
#      sentrel-get's resident memory under 32 MiB;
#   3. a 5 s wait for a slow server: sentrel-get's CPU under 50 ms;
#   4. 200 sequential GETs through a SOCKS 5 proxy (microsocks, installed from
#      Debian when missing), beside curl through the same proxy: target at
#      most 1.1x curl's time;
#   5. line mode: a 64 MiB reply of 80-byte lines read one line per event by
#      bench/LineRate.cpp, in MiB/s, beside curl reading the same bytes whole;
#   6. a concurrent pass (sentrel-cli --check --concurrency 100): its peak
#      resident memory over 100 hosts, target under 8 MiB; its time over
#      1000 hosts beside curl --parallel --parallel-max 100 fetching the
#      same URLs, target at most 0.8x.
#   bench/run.sh            (uses build/, configured as a Release build if absent;
#                            build-bench/ when build/ is a sanitizer build)
#   ROUNDS=9 WARMUP=2 BUILD_DIR=... bench/run.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
requests=${REQUESTS:-500}
big_mib=${BIG_MIB:-256}
socks_requests=${SOCKS_REQUESTS:-200}
lines_mib=${LINES_MIB:-64}
pass_hosts=${PASS_HOSTS:-1000}

for tool in nginx curl python3; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "bench: $tool is not installed (scripts/setup.sh)"; exit 1; }
done
. "$root/scripts/nginx-lib.sh"
. "$root/bench/lib.sh"
bench_need microsocks

# --- the release build -----------------------------------------------------------
bench_build sentrel-get
cmake -S "$root" -B "$build" -DSENTREL_BENCH=ON >/dev/null
bench_build sentrel-get LineRate
get=$build/sentrel-get
cli=
if bench_has_target sentrel-cli; then
    bench_build sentrel-cli
    cli=$build/sentrel-cli
fi

# --- nginx -------------------------------------------------------------------------
nginx_workdir sentrel-bench
printf '<html><body>Sentrel benchmark page</body></html>\n' >"$work/www/index.html"
page=$(stat -c %s "$work/www/index.html")
head -c $((big_mib * 1024 * 1024)) /dev/urandom >"$work/www/big.bin"
line_count=$((lines_mib * 1024 * 1024 / 80))
python3 -c "import sys; sys.stdout.buffer.write(b'%s\r\n' % (b'l' * 78) * $line_count)" >"$work/www/lines.txt"

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
socks_pid=
trap 'stop_nginx; [ -z "$socks_pid" ] || kill "$socks_pid" 2>/dev/null; rm -rf "$work"' EXIT

# --- 1. many small GETs ------------------------------------------------------------
urls=()
for _ in $(seq "$requests"); do urls+=("$base/index.html"); done
bench_begin
bench_case -n get -l sentrel-get -e "out=$((requests * page))" -- "$get" -s "${urls[@]}"
bench_case -n curl -l curl -e "out=$((requests * page))" -- curl --http1.0 -s "${urls[@]}"
bench_run --title "1. $requests sequential GETs in one process"
target "sentrel-get / curl, time of $requests GETs" "$(result get.wall_ratio)" "<=" 1.0

# --- 2. one big body to a file -----------------------------------------------------
size=$((big_mib * 1024 * 1024))
bench_begin
bench_case -n get -l sentrel-get -e "file=$work/get.bin=$size" -- "$get" -s -o "$work/get.bin" "$base/big.bin"
bench_case -n curl -l curl -e "file=$work/curl.bin=$size" -- curl --http1.0 -s -o "$work/curl.bin" "$base/big.bin"
bench_run --title "2. one ${big_mib} MiB body to a file" --bytes "$size"
target "sentrel-get / curl, throughput" "$(result get.mibs_ratio)" ">=" 0.9
target "sentrel-get resident memory, MiB" "$(result get.rss)" "<=" 32

# --- 3. waiting for a slow server --------------------------------------------------
if [ -n "$slow" ]; then
    bench_begin
    bench_case -n get -l sentrel-get -e out=5 -- "$get" -s "$base/slow"
    bench_case -n curl -l curl -e out=5 -- curl --http1.0 -s "$base/slow"
    bench_run --title "3. a 5 s wait for a slow server" --rounds 2 --warmup 0
    target "sentrel-get CPU during a 5 s wait, ms" "$(result get.cpu)" "<=" 50
else
    echo "3. slow server: skipped (nginx echo module not found at $echo_module)"
fi

# --- 4. through a SOCKS 5 proxy ------------------------------------------------------
sport=$(free_port "$port")
microsocks -i 127.0.0.1 -p "$sport" >/dev/null 2>&1 &
socks_pid=$!
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$sport") 2>/dev/null && break; sleep 0.05; done
get_help=$("$get" --help 2>&1 || true) # its usage exits 2
if [[ $get_help != *socks5://* ]]; then
    echo "4. SOCKS 5: skipped (this sentrel-get has no -x socks5:// yet)"
else
    urls=()
    for _ in $(seq "$socks_requests"); do urls+=("$base/index.html"); done
    bench_begin
    bench_case -n get -l "sentrel-get -x socks5://" -e "out=$((socks_requests * page))" -- \
        "$get" -s -x "socks5://127.0.0.1:$sport" "${urls[@]}"
    bench_case -n curl -l "curl -x socks5://" -e "out=$((socks_requests * page))" -- \
        curl --http1.0 -s -x "socks5://127.0.0.1:$sport" "${urls[@]}"
    bench_run --title "4. $socks_requests sequential GETs through a SOCKS 5 proxy (microsocks)"
    target "sentrel-get / curl through SOCKS 5, time" "$(result get.wall_ratio)" "<=" 1.1
fi

# --- 5. line mode ---------------------------------------------------------------------
lines_size=$((line_count * 80))
bench_begin
bench_case -n lines -l "line mode (LineRate)" -e "lines=1=^$line_count lines $lines_size bytes\$" -- \
    "$build/LineRate" "$port" /lines.txt
bench_case -n curl -l "curl, whole reply" -e "out=$lines_size" -- curl --http1.0 -s "$base/lines.txt"
bench_run --title "5. ${lines_mib} MiB of 80-byte lines" --bytes "$lines_size"
echo "   line mode: $(result lines.mibs) MiB/s of 80-byte lines (no target; curl reads the same reply whole)"

# --- 6. a concurrent pass -----------------------------------------------------------------
if [ -z "$cli" ]; then
    echo "6. concurrent pass: skipped (this build has no sentrel-cli)"
else
    # Every host is the page under a query of its own; the log goes to a
    # folder of the bench's, whose sentrel.ini names nothing.
    mkdir -p "$work/pass"
    printf '[main]\r\n' >"$work/pass/sentrel.ini"
    pass_urls() { local i; for i in $(seq "$1"); do echo "$base/index.html?host=$i"; done; }
    mapfile -t urls100 < <(pass_urls 100)
    mapfile -t urls < <(pass_urls "$pass_hosts")
    bench_begin
    bench_case -n cli100 -l "sentrel-cli --check --concurrency 100, 100 hosts" -e "cwd=$work/pass" \
        -e "lines=100=^Successful connection to: " -- "$cli" --check --concurrency 100 "${urls100[@]}"
    bench_case -n cli -l "sentrel-cli --check --concurrency 100, $pass_hosts hosts" -e "cwd=$work/pass" \
        -e "lines=$pass_hosts=^Successful connection to: " -- "$cli" --check --concurrency 100 "${urls[@]}"
    bench_case -n curl -l "curl --parallel --parallel-max 100, $pass_hosts URLs" -e "out=$((pass_hosts * page))" -- \
        curl --http1.0 -s --parallel --parallel-max 100 "${urls[@]}"
    bench_run --title "6. a concurrent pass over loopback hosts" --ref curl
    echo "   sentrel-cli --concurrency 100 over 100 hosts: peak resident $(result cli100.rss) MiB"
    target "sentrel-cli --concurrency 100 over 100 hosts, peak resident MiB" "$(result cli100.rss)" "<" 8
    target "sentrel-cli --concurrency 100 / curl --parallel-max 100, $pass_hosts hosts, time" "$(result cli.wall_ratio)" "<=" 0.8
fi

bench_verdict
