#!/usr/bin/env bash
# A long run of the monitor without a window: `sentrel-cli --headless` (or
# `sentrel --headless` in a build without sentrel-cli) at 1 s cycles over ten
# loopback hosts of every kind, served by one nginx this script starts:
#   three pages, a port nothing listens on, a slow host (0.5 s), a TLS host
#   (its own certificate authority), a redirect to a page, a redirect to the
#   TLS host, a host that answers 503 during five seconds out of ten
#   (flapping), and a page behind a relative redirect.
# It prints the program's resident memory, descriptors, threads and CPU at
# the start, every minute and at the end, and the count of complete cycles
# (summary lines in the log) beside the count the duration allows; then it
# ends the program with SIGTERM, which must leave "Finished logging
# connectivity" as the log's last line. It ends by itself after DURATION.
#   bench/soak.sh               (10 minutes)
#   DURATION=60 bench/soak.sh   (seconds)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
duration=${DURATION:-600}

. "$root/scripts/nginx-lib.sh"
. "$root/bench/lib.sh"
[ -x "$nginx_bin" ] || { echo "bench: nginx is not installed (scripts/setup.sh)"; exit 1; }
for tool in curl openssl; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is not installed (scripts/setup.sh)"; exit 1; }
done
bench_need libnginx-mod-http-echo
bench_build sentrel-get
if bench_has_target sentrel-cli; then
    bench_build sentrel-cli
    cli=$build/sentrel-cli
else
    bench_build sentrel
    cli=$build/sentrel
    echo "bench: this build has no sentrel-cli; soaking build/sentrel --headless instead"
fi

nginx_workdir sentrel-soak
mkdir -p "$work/run"
make_ca "Sentrel soak CA $$"
make_cert server "DNS:localhost,IP:127.0.0.1" localhost
printf '<html><body>Sentrel soak page</body></html>\n' >"$work/www/index.html"

taken=()
new_port() { port=$(free_port ${taken[@]+"${taken[@]}"}); taken+=("$port"); }
new_port; plain=$port
new_port; page2=$port
new_port; page3=$port
new_port; refused=$port
new_port; slow=$port
new_port; tls=$port
new_port; flap=$port
{
    echo "load_module /usr/lib/nginx/modules/ngx_http_echo_module.so;"
    nginx_conf_prologue 1024
    cat <<CONF
    default_type text/html;
    chunked_transfer_encoding off;
    # Down (503, Service Unavailable) while the clock's seconds end in 5 to 9.
    map \$time_iso8601 \$flap_down { "~:[0-9][5-9]\\+" 1; default 0; }
    server {
        listen 127.0.0.1:$plain;
        listen 127.0.0.1:$page2;
        listen 127.0.0.1:$page3;
        root $work/www;
        location = /to-page { return 302 http://127.0.0.1:$page2/; }
        location = /to-tls { return 301 https://localhost:$tls/; }
        location = /relative { return 302 /index.html; }
    }
    server {
        listen 127.0.0.1:$slow;
        location / { echo_sleep 0.5; echo "slow host"; }
    }
    server {
        listen 127.0.0.1:$tls ssl;
        server_name localhost;
        ssl_certificate $work/server.pem;
        ssl_certificate_key $work/server.key;
        root $work/www;
    }
    server {
        listen 127.0.0.1:$flap;
        root $work/www;
        location / { if (\$flap_down) { return 503; } }
    }
}
CONF
} >"$work/nginx.conf"
start_nginx "http://127.0.0.1:$plain/"
export SSL_CERT_FILE=$work/ca.pem

hosts=(
    "http://127.0.0.1:$plain/"
    "http://127.0.0.1:$page2/"
    "http://127.0.0.1:$page3/"
    "http://127.0.0.1:$refused/"
    "http://127.0.0.1:$slow/"
    "https://localhost:$tls/"
    "http://127.0.0.1:$plain/to-page"
    "http://127.0.0.1:$plain/to-tls"
    "http://127.0.0.1:$flap/"
    "http://127.0.0.1:$plain/relative"
)
{
    echo "[main]"
    i=0
    for h in "${hosts[@]}"; do
        i=$((i + 1))
        echo "server${i}name=$h"
        echo "server${i}active=1"
    done
    echo "frequency=1"
    echo "logname=status.log"
    echo "autostart=1"
} >"$work/run/sentrel.ini"

(cd "$work/run" && exec "$cli" --headless >/dev/null 2>"$work/stderr") &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; stop_nginx; rm -rf "$work"' EXIT

cycles() { grep -c -E 'All servers connected correctly|At least one connection failed!' "$work/run/status.log" || true; }
sample() {
    kill -0 "$pid" 2>/dev/null || { echo "bench: the monitor stopped:"; cat "$work/stderr"; exit 1; }
    printf '  %-6s %5d s  RSS %6d KiB  descriptors %3d  threads %2d  CPU %6d ms  cycles %5d\n' "$1" "$SECONDS" \
        "$(proc_rss_kib "$pid")" "$(proc_fds "$pid")" "$(proc_threads "$pid")" "$(proc_cpu_ms "$pid")" "$(cycles)"
}

echo "soak: $cli --headless, 1 s cycles, ten hosts, ${duration} s"
SECONDS=0
sleep 5
sample start
rss0=$(proc_rss_kib "$pid")
fds0=$(proc_fds "$pid")
cpu0=$(proc_cpu_ms "$pid")
cycles0=$(cycles)
t0=$SECONDS
next=60
while [ "$SECONDS" -lt "$duration" ]; do
    sleep 1
    if [ "$SECONDS" -ge "$next" ] && [ "$SECONDS" -lt "$duration" ]; then
        sample ""
        next=$((next + 60))
    fi
done
sample end
rss1=$(proc_rss_kib "$pid")
fds1=$(proc_fds "$pid")
cpu1=$(proc_cpu_ms "$pid")
cycles1=$(cycles)
t1=$SECONDS

kill -TERM "$pid"
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then
    echo "!! the monitor did not end within 5 s of SIGTERM"
    bench_missed=$((bench_missed + 1))
fi
wait "$pid" 2>/dev/null || true
last=$(tail -1 "$work/run/status.log" | tr -d '\r')
span=$((t1 - t0))
echo "soak: $(cycles) complete cycles in ${SECONDS} s; $((cycles1 - cycles0)) in the ${span} s measured"
for h in "${hosts[@]}"; do
    printf '  %-40s log lines: %5d success, %5d error\n' "$h" \
        "$(grep -c -F "Successful connection to: $h"$'\r' "$work/run/status.log" || true)" \
        "$(grep -c -F "Error accessing host: $h"$'\r' "$work/run/status.log" || true)"
done
echo "  log $(stat -c %s "$work/run/status.log") bytes; last line: ${last}"
echo "  between start and end: RSS $((rss1 - rss0)) KiB, descriptors $((fds1 - fds0)), CPU $((cpu1 - cpu0)) ms" \
    "($(fmt_div "$((cpu1 - cpu0))" "$(((cycles1 - cycles0) * 10))" 3) ms per check)"
target "RSS growth over the soak, KiB" "$((rss1 - rss0))" "<=" 1024
target "descriptors gained over the soak" "$((fds1 - fds0))" "<=" 0
# A pass lasts a little over half a second here (the slow host), and the
# next starts a cycle time after it ends: 1.7 s a cycle leaves room for a
# busy machine, while a missed cycle costs a whole second.
target "complete cycles / ($span s / 1.7 s)" "$(fmt_div "$((cycles1 - cycles0))" "$(fmt_div "$span" 1.7 4)" 2)" ">=" 0.9
case $last in
    *"Finished logging connectivity") bench_met=$((bench_met + 1)); echo "   SIGTERM: \"Finished logging connectivity\" is the last line: met" ;;
    *) bench_missed=$((bench_missed + 1)); echo "!! SIGTERM: the last line is not \"Finished logging connectivity\": MISSED" ;;
esac
bench_verdict
