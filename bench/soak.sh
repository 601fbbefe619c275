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
# It also counts the passes that checked every host (from the status lines
# the program prints).
# With FULL_DISK=1 (root, where a tmpfs can be mounted) the log lives on a
# 4 MiB file system of its own that is filled for one minute, starting a
# third into the run: the passes must go on checking every host through
# that minute, with one stderr line per pass about the log.
#   bench/soak.sh               (10 minutes)
#   DURATION=60 bench/soak.sh   (seconds)
#   FULL_DISK=1 bench/soak.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
duration=${DURATION:-600}
full_disk=${FULL_DISK:-0}

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
logname=status.log
disk=
if [ "$full_disk" = 1 ]; then
    disk=$work/disk
    mkdir -p "$disk"
    if ! mount -t tmpfs -o size=4m,mode=0755 tmpfs "$disk" 2>/dev/null; then
        echo "bench: FULL_DISK=1 needs a tmpfs it can mount (root); running without the full-disk minute"
        full_disk=0
        disk=
    else
        logname=$disk/status.log
    fi
fi
log=$work/run/status.log
[ -z "$disk" ] || log=$disk/status.log
{
    echo "[main]"
    i=0
    for h in "${hosts[@]}"; do
        i=$((i + 1))
        echo "server${i}name=$h"
        echo "server${i}active=1"
    done
    echo "frequency=1"
    echo "logname=$logname"
    echo "autostart=1"
} >"$work/run/sentrel.ini"

(cd "$work/run" && exec "$cli" --headless >"$work/stdout" 2>"$work/stderr") &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; stop_nginx; [ -z "$disk" ] || umount -l "$disk"; rm -rf "$work"' EXIT

# Complete passes, from the printed status lines (the log may be full).
cycles() { grep -c -E '^(All servers connected correctly|At least one connection failed!)$' "$work/stdout" || true; }
# "WHOLE TOTAL": passes whose status lines named every host, of all passes.
whole_passes() {
    awk -v want="${#hosts[@]}" '
        /^Checking "/ { seen[$0] = 1 }
        /^(All servers connected correctly|At least one connection failed!)$/ {
            n = 0; for (h in seen) n++
            total++; if (n >= want) whole++
            delete seen
        }
        END { printf "%d %d\n", whole, total }' "$work/stdout"
}
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
fill_at=$((duration / 3))
fill_end=$((fill_at + 60))
filled=0
while [ "$SECONDS" -lt "$duration" ]; do
    sleep 1
    if [ "$full_disk" = 1 ] && [ "$filled" = 0 ] && [ "$SECONDS" -ge "$fill_at" ]; then
        read -r whole_before passes_before <<<"$(whole_passes)"
        errors_before=$(grep -c 'Cannot write to' "$work/stderr" || true)
        head -c 8M /dev/zero >"$disk/filler" 2>/dev/null || true
        echo "  full   $SECONDS s  the log's file system is full for a minute"
        filled=1
    elif [ "$filled" = 1 ] && [ "$SECONDS" -ge "$fill_end" ]; then
        rm -f "$disk/filler"
        read -r whole_full passes_full <<<"$(whole_passes)"
        errors_full=$(grep -c 'Cannot write to' "$work/stderr" || true)
        echo "  freed  $SECONDS s"
        filled=2
    fi
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
last=$(tail -1 "$log" | tr -d '\r')
span=$((t1 - t0))
echo "soak: $(cycles) complete cycles in ${SECONDS} s; $((cycles1 - cycles0)) in the ${span} s measured"
for h in "${hosts[@]}"; do
    printf '  %-40s log lines: %5d success, %5d error\n' "$h" \
        "$(grep -c -F "Successful connection to: $h"$'\r' "$log" || true)" \
        "$(grep -c -F "Error accessing host: $h"$'\r' "$log" || true)"
done
echo "  log $(stat -c %s "$log") bytes; last line: ${last}"
# A line cut short by the full disk and glued to the next would not start
# like an entry (or the header) does.
broken=$(tr -d '\r' <"$log" | grep -c -v -E '^(-{22}  [0-9]{2}-|[- .?!@>] [0-9]{2}-[0-9]{2}-[0-9]{4}  )' || true)
target "log lines that are not whole entries" "$broken" "<=" 0
read -r whole total <<<"$(whole_passes)"
echo "  passes that checked every host: $whole of $total"
target "passes that checked every host / all passes" "$(fmt_div "$whole" "$total" 3)" ">=" 1
if [ "$filled" = 2 ]; then
    during=$((passes_full - passes_before))
    echo "  full-disk minute: $((whole_full - whole_before)) of $during passes checked every host;" \
        "$((errors_full - errors_before)) stderr lines about the log"
    target "passes during the full-disk minute" "$during" ">=" 20
    target "passes checking every host during the full-disk minute / passes" \
        "$(fmt_div "$((whole_full - whole_before))" "$during" 3)" ">=" 1
    target "stderr lines about the log / passes during the full minute" \
        "$(fmt_div "$((errors_full - errors_before))" "$during" 3)" "<=" 1.05
fi
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
