#!/usr/bin/env bash
# Sentrel's GET /probe beside the Prometheus blackbox exporter (installed from
# Debian when missing): both are driven through 1,000 targets (distinct URLs
# of one loopback nginx) at 100 requests at once, as a Prometheus with many
# targets would scrape them. Per round, for each: the server's CPU per probe
# (kernel run time of all its threads, the driver's own CPU not counted), the
# wall time of the 1,000, and its peak resident memory. The order of the two
# is shuffled every round; the first WARMUP rounds are not counted. Every
# answer is checked (probe_success 1, and nginx logs each page it served).
#   sentrel CPU per probe <= 0.3x the exporter's (median of the paired ratios).
#   bench/probe.sh            (Release build in build/, or build-bench/ beside a sanitizer build/)
#   ROUNDS=5 WARMUP=1 TARGETS=1000 AT_ONCE=100 bench/probe.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
targets=${TARGETS:-1000}
at_once=${AT_ONCE:-100}
export ROUNDS=${ROUNDS:-5} WARMUP=${WARMUP:-1}

. "$root/scripts/nginx-lib.sh"
. "$root/bench/lib.sh"
[ -x "$nginx_bin" ] || { echo "bench: nginx is not installed (scripts/setup.sh)"; exit 1; }
command -v curl >/dev/null || { echo "bench: curl is not installed (scripts/setup.sh)"; exit 1; }
bench_need prometheus-blackbox-exporter
exporter_bin=$(command -v prometheus-blackbox-exporter)
bench_build sentrel-cli
cli=$build/sentrel-cli
"$cli" --help | grep -q -- --probe-concurrency || { echo "bench: this sentrel-cli has no /probe"; exit 1; }

nginx_workdir sentrel-probe-bench
printf '<html><body>Sentrel probe benchmark page</body></html>\n' >"$work/www/index.html"
page_port=$(free_port)
sentrel_port=$(free_port "$page_port")
exporter_port=$(free_port "$page_port" "$sentrel_port")
{
    nginx_conf_prologue 4096
    cat <<CONF
    default_type text/html;
    log_format bench '\$body_bytes_sent';
    server {
        listen 127.0.0.1:$page_port backlog=1024;
        root $work/www;
        access_log $work/access.log bench;
    }
}
CONF
} >"$work/nginx.conf"
start_nginx "http://127.0.0.1:$page_port/"

# The driver: TARGETS requests, AT_ONCE at a time, each answer checked.
cat >"$work/drive.py" <<'PY'
import sys, threading, http.client, urllib.parse, time
port, targets, at_once, page_port = (int(a) for a in sys.argv[1:5])
urls = ["http://127.0.0.1:%d/?t=%d" % (page_port, i) for i in range(targets)]
lock = threading.Lock()
bad = []
def worker():
    while True:
        with lock:
            if not urls:
                return
            url = urls.pop()
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        try:
            c.request("GET", "/probe?module=http_2xx&target=" + urllib.parse.quote(url, safe=""),
                      headers={"X-Prometheus-Scrape-Timeout-Seconds": "10"})
            r = c.getresponse()
            body = r.read().decode()
            if r.status != 200 or "\nprobe_success 1\n" not in "\n" + body:
                with lock:
                    bad.append("%s: %d %s" % (url, r.status, body[:80]))
        except Exception as e:
            with lock:
                bad.append("%s: %s" % (url, e))
        finally:
            c.close()
started = time.monotonic()
threads = [threading.Thread(target=worker) for _ in range(at_once)]
for t in threads: t.start()
for t in threads: t.join()
print("%.3f" % (time.monotonic() - started))
if bad:
    print("%d probes failed, first: %s" % (len(bad), bad[0]), file=sys.stderr)
    sys.exit(1)
PY

printf '[main]\r\nserver1active=0\r\n' >"$work/sentrel.ini"
printf 'modules:\n  http_2xx:\n    prober: http\n    timeout: 10s\n    http:\n      preferred_ip_protocol: ip4\n' \
    >"$work/blackbox.yml"
server_pid=
stop_server() {
    [ -z "$server_pid" ] || { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true; }
    server_pid=
}
trap 'stop_server; stop_nginx; rm -rf "$work"' EXIT

schedstat_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f\n", s }'; }
peak_kib() { awk '$1 == "VmHWM:" { print $2 }' "/proc/$1/status"; }
served() { wc -l <"$work/access.log"; }

# run NAME PORT COMMAND...: starts a fresh server, drives the targets through
# it, stops it; sets cpu_ms (per probe), wall_s, peak_mib.
run() {
    local name=$1 port=$2
    shift 2
    (cd "$work" && exec "$@" >"$work/$name.log" 2>&1) &
    server_pid=$!
    for _ in $(seq 200); do curl -s -o /dev/null "http://127.0.0.1:$port/metrics" && break; sleep 0.05; done
    local before c0 c1
    before=$(served)
    c0=$(schedstat_ns "$server_pid")
    wall_s=$(python3 "$work/drive.py" "$port" "$targets" "$at_once" "$page_port") ||
        { echo "bench: $name: probes failed"; exit 1; }
    c1=$(schedstat_ns "$server_pid")
    peak_mib=$(fmt_div "$(peak_kib "$server_pid")" 1024 1)
    stop_server
    [ "$(($(served) - before))" -eq "$targets" ] || { echo "bench: $name: nginx served $(($(served) - before)) of $targets"; exit 1; }
    cpu_ms=$(awk -v a="$c0" -v b="$c1" -v n="$targets" 'BEGIN { printf "%.4f", (b - a) / 1e6 / n }')
}

echo "probe.sh: $targets targets through /probe, $at_once at once; $ROUNDS rounds after $WARMUP warm-up"
s_cpu=() e_cpu=() ratio=() s_wall=() e_wall=() s_peak=() e_peak=()
for round in $(seq $((WARMUP + ROUNDS))); do
    order=(sentrel exporter)
    [ $((RANDOM % 2)) -eq 0 ] || order=(exporter sentrel)
    for who in "${order[@]}"; do
        if [ "$who" = sentrel ]; then
            run sentrel "$sentrel_port" "$cli" --headless --metrics-listen "127.0.0.1:$sentrel_port" \
                --probe-concurrency "$at_once"
            sc=$cpu_ms sw=$wall_s sp=$peak_mib
        else
            run exporter "$exporter_port" "$exporter_bin" --config.file="$work/blackbox.yml" \
                --web.listen-address="127.0.0.1:$exporter_port"
            ec=$cpu_ms ew=$wall_s ep=$peak_mib
        fi
    done
    if [ "$round" -le "$WARMUP" ]; then
        echo "  warm-up: sentrel $sc ms, exporter $ec ms per probe"
        continue
    fi
    echo "  round $((round - WARMUP)): CPU per probe sentrel $sc ms, exporter $ec ms; wall $sw s / $ew s; peak RSS $sp / $ep MiB"
    s_cpu+=("$sc") e_cpu+=("$ec") s_wall+=("$sw") e_wall+=("$ew") s_peak+=("$sp") e_peak+=("$ep")
    ratio+=("$(fmt_div "$sc" "$ec" 3)")
done
echo "                           min / median / max"
printf '  %-24s %s\n' "sentrel CPU ms/probe" "$(spread "${s_cpu[@]}")" "exporter CPU ms/probe" "$(spread "${e_cpu[@]}")" \
    "ratio (paired)" "$(spread "${ratio[@]}")" "sentrel wall s" "$(spread "${s_wall[@]}")" \
    "exporter wall s" "$(spread "${e_wall[@]}")" "sentrel peak RSS MiB" "$(spread "${s_peak[@]}")" \
    "exporter peak RSS MiB" "$(spread "${e_peak[@]}")"
target "sentrel / exporter, CPU per probe" "$(median "${ratio[@]}")" "<=" 0.3
bench_verdict
