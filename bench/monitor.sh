#!/usr/bin/env bash
# The monitor beside the programs a user would pick instead: curl, monit and
# the Prometheus blackbox exporter (both installed from Debian when missing),
# all pointed at the same ten loopback hosts: nine nginx pages on ports of
# their own and one port nothing listens on.
#   1. one pass: `sentrel-cli --check` vs curl fetching the ten URLs in one
#      process vs the exporter's ten /probe calls vs `monit validate`;
#   2. the daemons side by side at 1 s cycles for 60 s: CPU per check and
#      resident memory of `sentrel-cli --headless`, monit and the exporter
#      (driven by a loop of /probe calls, as Prometheus would scrape it);
#   3. one slow host (2 s, first in the list) among nine 50 ms hosts, with and
#      without --concurrency 10: time to the first fast host's result and the
#      pass time; then ten 50 ms hosts;
#   4. the resident memory of a check of a 1 GiB page, beside curl, and of the
#      same check searching the whole page for a text it does not hold
#      (--not-contains): the search may cost at most 1 MiB more;
#   5. the system calls one more host costs: strace -f -c of one --check
#      over 1 host and over 11 (nine pages, two of them twice), the
#      difference over ten, in one pass after another and with
#      --concurrency 10, with what is left beyond the 15 calls a host costs
#      whatever the loop does (the log's two lines, the connection, its
#      three options and its half-close).
# Commands run interleaved in shuffled order after warm-up rounds, with min /
# median / max and ratios paired per round (bench/harness.py); every run's
# bytes are checked, at the server (nginx logs each body's bytes) and in what
# the command printed. The targets are printed as ratios with met / MISSED:
#   sentrel-cli --check <= 0.8x curl for one 10-host pass (time);
#   daemon CPU per check <= 0.5x the best peer's;
#   with --concurrency 10, a pass over ten 50 ms hosts <= 1.5x the slowest host;
#   sentrel-cli --headless resident <= 8 MiB while idle;
#   system calls per extra host <= 15, the log's open/write/close included.
#   bench/monitor.sh          (Release build in build/, or build-bench/ beside a sanitizer build/)
#   ROUNDS=9 DAEMON_SECONDS=60 BIG_MIB=1024 ONLY=12345 bench/monitor.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
daemon_seconds=${DAEMON_SECONDS:-60}
big_mib=${BIG_MIB:-1024}
only=${ONLY:-12345} # the parts to run

. "$root/scripts/nginx-lib.sh"
. "$root/bench/lib.sh"
[ -x "$nginx_bin" ] || { echo "bench: nginx is not installed (scripts/setup.sh)"; exit 1; }
for tool in curl python3 /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is not installed (scripts/setup.sh)"; exit 1; }
done
bench_need monit prometheus-blackbox-exporter libnginx-mod-http-echo strace
exporter_bin=$(command -v prometheus-blackbox-exporter)
echo_module=/usr/lib/nginx/modules/ngx_http_echo_module.so

# --- the monitor under test ------------------------------------------------------------
# sentrel-cli is the monitor without Qt; until a build has it, the window
# program's --check and --headless stand in, and the figures say so.
bench_build sentrel-get
if bench_has_target sentrel-cli; then
    bench_build sentrel-cli
    cli=$build/sentrel-cli
    cli_name=sentrel-cli
else
    bench_build sentrel
    cli=$build/sentrel
    cli_name=sentrel
    echo "bench: this build has no sentrel-cli; measuring build/sentrel --check / --headless instead"
fi
concurrency=0
cli_help=$("$cli" --help 2>&1 || true)
[[ $cli_help != *--concurrency* ]] || concurrency=1

# --- the hosts -------------------------------------------------------------------------
nginx_workdir sentrel-monitor-bench
mkdir -p "$work/check" "$work/daemon" "$work/slow-seq" "$work/slow-conc" "$work/big" "$work/calls"
printf '<html><body>Sentrel benchmark page</body></html>\n' >"$work/www/index.html"
page=$(stat -c %s "$work/www/index.html")
truncate -s $((big_mib * 1024 * 1024)) "$work/www/big.bin"

taken=()
new_port() { port=$(free_port ${taken[@]+"${taken[@]}"}); taken+=("$port"); }
pages=()
for _ in $(seq 9); do new_port; pages+=("$port"); done
new_port; refused=$port
new_port; slow=$port
lag=()
for _ in $(seq 10); do new_port; lag+=("$port"); done
new_port; exporter_port=$port
{
    echo "load_module $echo_module;"
    nginx_conf_prologue 1024
    cat <<CONF
    sendfile on;
    default_type text/html;
    log_format bench '\$msec "\$http_user_agent" \$body_bytes_sent';
    # The delayed replies have no length; without chunks their body is the
    # same bytes for an HTTP/1.0 and an HTTP/1.1 client.
    chunked_transfer_encoding off;
    server {
$(for p in "${pages[@]}"; do echo "        listen 127.0.0.1:$p;"; done)
        root $work/www;
        access_log $work/access.log bench;
    }
    server {
        listen 127.0.0.1:$slow;
        location / { echo_sleep 2; echo "slow host"; }
        access_log $work/slow.log bench;
    }
    server {
$(for p in "${lag[@]}"; do echo "        listen 127.0.0.1:$p;"; done)
        location / { echo_sleep 0.05; echo "50 ms host"; }
        access_log $work/slow.log bench;
    }
}
CONF
} >"$work/nginx.conf"
start_nginx "http://127.0.0.1:${pages[0]}/"

hosts=()
for p in "${pages[@]}"; do hosts+=("http://127.0.0.1:$p/"); done
hosts+=("http://127.0.0.1:$refused/")

# write_ini DIR FREQUENCY HOST...: a sentrel.ini in DIR listing the hosts, all active.
write_ini() {
    local dir=$1 freq=$2 i=0 h
    shift 2
    {
        echo "[main]"
        for h in "$@"; do
            i=$((i + 1))
            echo "server${i}name=$h"
            echo "server${i}active=1"
        done
        echo "frequency=$freq"
        echo "logname=status.log"
        echo "autostart=1"
    } >"$dir/sentrel.ini"
}

# --- the peers ---------------------------------------------------------------------------
# monit: one "check host" per host, an HTTP request to each, its files in $work.
{
    echo "set daemon 1"
    echo "set logfile $work/monit.log"
    echo "set pidfile $work/monit.pid"
    echo "set idfile $work/monit.id"
    echo "set statefile $work/monit.state"
    i=0
    for h in "${hosts[@]}"; do
        i=$((i + 1))
        p=${h##*:}
        p=${p%/}
        echo "check host h$i with address 127.0.0.1"
        echo "    if failed port $p protocol http request \"/\" then alert"
    done
} >"$work/monitrc"
chmod 600 "$work/monitrc"

# The exporter: one http module, probed through /probe?target=... as
# Prometheus would scrape it.
printf 'modules:\n  http_2xx:\n    prober: http\n    timeout: 5s\n    http:\n      preferred_ip_protocol: ip4\n' \
    >"$work/blackbox.yml"
"$exporter_bin" --config.file="$work/blackbox.yml" --web.listen-address="127.0.0.1:$exporter_port" \
    >"$work/exporter.log" 2>&1 &
exporter_pid=$!
daemons=()
stop_all() {
    local p
    for p in ${daemons[@]+"${daemons[@]}"} "$exporter_pid"; do kill "$p" 2>/dev/null || true; done
    for p in ${daemons[@]+"${daemons[@]}"} "$exporter_pid"; do wait "$p" 2>/dev/null || true; done
    stop_nginx
    rm -rf "$work"
}
trap stop_all EXIT
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$exporter_port/" && break; sleep 0.05; done
probes() {
    local h
    for h in "$@"; do echo "http://127.0.0.1:$exporter_port/probe?module=http_2xx&target=$h"; done
}
mapfile -t probe_urls < <(probes "${hosts[@]}")
# monit's first run writes its id file; not part of any figure.
monit -c "$work/monitrc" validate >/dev/null 2>&1 || true

# --- 1. one pass -----------------------------------------------------------------------
part1() {
    write_ini "$work/check" 30 "${hosts[@]}"
    bench_begin
    bench_case -n cli -l "$cli_name --check" -e rc=1 -e "cwd=$work/check" -e "sent=$work/access.log=$((9 * page))" \
        -e "lines=9=^Successful connection to: " -e "lines=1=^Error accessing host: " -- "$cli" --check
    bench_case -n curl -l "curl, ten URLs in one process" -e rc=7 -e "sent=$work/access.log=$((9 * page))" \
        -e "out=$((9 * page))" -- curl --http1.0 -s "${hosts[@]}"
    bench_case -n exporter -l "exporter, ten /probe calls" -e "pid=$exporter_pid" -e "sent=$work/access.log=$((9 * page))" \
        -e "lines=9=^probe_success 1" -e "lines=1=^probe_success 0" -- curl -s "${probe_urls[@]}"
    bench_case -n monit -l "monit validate" -e rc=1 -e "sent=$work/access.log=$((9 * page))" -- \
        monit -c "$work/monitrc" validate
    bench_run --title "1. one pass over ten hosts (exporter: its CPU and its client's)" --ref curl
    target "$cli_name --check / curl, one pass" "$(result cli.wall_ratio)" "<=" 0.8
}

# --- 2. the daemons side by side -----------------------------------------------------------
# schedstat_ns PID: the run time of all the process's threads, in ns (finer
# than the clock ticks of /proc/PID/stat, which a 10 s window needs).
schedstat_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f\n", s }'; }
# requests_by AGENT: the requests nginx logged from that User-Agent so far.
requests_by() { grep -c -F "\"$1" "$work/access.log" || true; }

part2() {
    write_ini "$work/daemon" 1 "${hosts[@]}"
    (cd "$work/daemon" && exec "$cli" --headless >/dev/null 2>&1) &
    cli_pid=$!
    daemons+=("$cli_pid")
    monit -c "$work/monitrc" -I >/dev/null 2>&1 &
    monit_pid=$!
    daemons+=("$monit_pid")
    # Prometheus's part: every second, one process asks the exporter for the
    # ten probes. Its own CPU is not the exporter's.
    (
        end=$((SECONDS + daemon_seconds + 10))
        while [ "$SECONDS" -lt "$end" ]; do
            curl -s "${probe_urls[@]}" >/dev/null || true
            sleep 1
        done
    ) &
    driver_pid=$!
    daemons+=("$driver_pid")
    sleep 3 # start-up is not part of the figures
    windows=$((daemon_seconds / 10))
    [ "$windows" -ge 1 ] || windows=1
    names=(cli monit exporter)
    pids=("$cli_pid" "$monit_pid" "$exporter_pid")
    agents=("Mozilla/3.0" "Monit/" "Blackbox Exporter")
    declare -A cpu0 req0 per_check rss_max rss_all
    for k in 0 1 2; do
        cpu0[$k]=$(schedstat_ns "${pids[$k]}")
        req0[$k]=$(requests_by "${agents[$k]}")
        per_check[$k]=""
        rss_max[$k]=0
        rss_all[$k]=""
    done
    checks_total=(0 0 0)
    for _ in $(seq "$windows"); do
        for _ in $(seq 10); do
            sleep 1
            for k in 0 1 2; do
                kill -0 "${pids[$k]}" 2>/dev/null || { echo "bench: ${names[$k]} stopped during the daemon run"; exit 1; }
                r=$(proc_rss_kib "${pids[$k]}")
                rss_all[$k]+=" $r"
                [ "$r" -le "${rss_max[$k]}" ] || rss_max[$k]=$r
            done
        done
        for k in 0 1 2; do
            c=$(schedstat_ns "${pids[$k]}")
            q=$(requests_by "${agents[$k]}")
            # Nine pages answer and one port refuses: ten checks per nine requests.
            made=$(awk -v a="$q" -v b="${req0[$k]}" 'BEGIN { printf "%.0f", (a - b) * 10 / 9 }')
            [ "$made" -gt 0 ] || { echo "bench: ${names[$k]} made no check in 10 s"; exit 1; }
            per_check[$k]+=" $(awk -v c="$c" -v c0="${cpu0[$k]}" -v n="$made" 'BEGIN { printf "%.4f", (c - c0) / 1e6 / n }')"
            checks_total[k]=$((checks_total[k] + made))
            cpu0[$k]=$c
            req0[$k]=$q
        done
    done
    threads=()
    for k in 0 1 2; do threads[k]=$(proc_threads "${pids[$k]}"); done
    for p in "$cli_pid" "$monit_pid" "$driver_pid"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
    daemons=()
    labels=("$cli_name --headless" "monit -I" "exporter (probed every 1 s)")
    echo "2. daemons side by side at 1 s cycles for $((windows * 10)) s, ten hosts each: CPU per check per 10 s window"
    echo "   (min / median / max; kernel run time of all threads; resident memory sampled every second)"
    for k in 0 1 2; do
        # shellcheck disable=SC2086
        printf '  %-40s checks %5d  CPU per check ms %s  RSS MiB median %s max %s  threads %s\n' "${labels[$k]}" \
            "${checks_total[$k]}" "$(spread ${per_check[$k]})" \
            "$(fmt_div "$(median ${rss_all[$k]})" 1024 1)" "$(fmt_div "${rss_max[$k]}" 1024 1)" "${threads[$k]}"
    done
    # The best peer is the one with the lower median; the ratio is paired per window.
    # shellcheck disable=SC2086
    best=1
    # shellcheck disable=SC2086
    awk -v m="$(median ${per_check[1]})" -v e="$(median ${per_check[2]})" 'BEGIN { exit !(e < m) }' && best=2
    read -r -a mine <<<"${per_check[0]}"
    read -r -a theirs <<<"${per_check[$best]}"
    ratios=()
    for i in "${!mine[@]}"; do ratios+=("$(fmt_div "${mine[$i]}" "${theirs[$i]}" 4)"); done
    echo "   vs the best peer (${labels[$best]}): CPU per check $(spread "${ratios[@]}")x"
    target "$cli_name CPU per check / best peer's" "$(median "${ratios[@]}")" "<=" 0.5
    target "$cli_name --headless resident while idle, MiB" "$(fmt_div "${rss_max[0]}" 1024 2)" "<=" 8
}

# --- 3. a slow host among ten ------------------------------------------------------------
part3() {
    fast=()
    for p in "${lag[@]}"; do fast+=("http://127.0.0.1:$p/"); done
    slow_list=("http://127.0.0.1:$slow/" "${fast[@]:0:9}")
    write_ini "$work/slow-seq" 30 "${slow_list[@]}"
    lag_bytes=$((9 * 11 + 10))
    bench_begin
    bench_case -n seq -l "$cli_name --check" -e "cwd=$work/slow-seq" -e "sent=$work/slow.log=$lag_bytes" \
        -e "lines=10=^Successful connection to: " -e "mark=^Successful connection to: http://127.0.0.1:${lag[0]}/" -- "$cli" --check
    if [ "$concurrency" -eq 1 ]; then
        bench_case -n conc -l "$cli_name --concurrency 10 --check" -e "cwd=$work/slow-seq" -e "sent=$work/slow.log=$lag_bytes" \
            -e "lines=10=^Successful connection to: " -e "mark=^Successful connection to: http://127.0.0.1:${lag[0]}/" -- \
            "$cli" --concurrency 10 --check
    fi
    mapfile -t slow_probes < <(probes "${slow_list[@]}")
    bench_case -n exporter -l "exporter, ten /probe calls at once" -e "pid=$exporter_pid" -e "sent=$work/slow.log=$lag_bytes" \
        -e "lines=10=^probe_success 1" -e "mark=^probe_success 1" -- curl -s -Z --parallel-immediate --parallel-max 10 "${slow_probes[@]}"
    bench_run --title "3a. a 2 s host first among nine 50 ms hosts (mark: the first 50 ms host's result)" --ref seq \
        --rounds "$(((bench_rounds + 1) / 2))" --warmup 1
    [ "$concurrency" -eq 1 ] || echo "   --concurrency: skipped ($cli_name does not understand the option yet)"

    write_ini "$work/slow-conc" 30 "${fast[@]}"
    bench_begin
    bench_case -n seq -l "$cli_name --check" -e "cwd=$work/slow-conc" -e "sent=$work/slow.log=$((10 * 11))" \
        -e "lines=10=^Successful connection to: " -- "$cli" --check
    if [ "$concurrency" -eq 1 ]; then
        bench_case -n conc -l "$cli_name --concurrency 10 --check" -e "cwd=$work/slow-conc" -e "sent=$work/slow.log=$((10 * 11))" \
            -e "lines=10=^Successful connection to: " -- "$cli" --concurrency 10 --check
    fi
    mapfile -t lag_probes < <(probes "${fast[@]}")
    bench_case -n exporter -l "exporter, ten /probe calls at once" -e "pid=$exporter_pid" -e "sent=$work/slow.log=$((10 * 11))" \
        -e "lines=10=^probe_success 1" -- curl -s -Z --parallel-immediate --parallel-max 10 "${lag_probes[@]}"
    bench_run --title "3b. ten 50 ms hosts" --ref seq
    if [ "$concurrency" -eq 1 ]; then
        target "$cli_name --concurrency 10, pass / slowest host (50 ms)" "$(fmt_div "$(result conc.wall)" 50)" "<=" 1.5
    else
        echo "   --concurrency: skipped ($cli_name does not understand the option yet)"
        target "$cli_name --concurrency 10, pass / slowest host (50 ms)" "" "<=" 1.5
    fi
}

# --- 4. a 1 GiB page -------------------------------------------------------------------------
part4() {
    big_url="http://127.0.0.1:${pages[0]}/big.bin"
    big_size=$((big_mib * 1024 * 1024))
    bench_begin
    bench_case -n cli -l "$cli_name --check" -e "cwd=$work/big" -e "sent=$work/access.log=$big_size" \
        -e "lines=1=^Successful connection to: " -- "$cli" --check "$big_url"
    bench_case -n match -l "$cli_name --check --not-contains" -e "cwd=$work/big" -e "sent=$work/access.log=$big_size" \
        -e "lines=1=^Successful connection to: " -- "$cli" --check --not-contains "not in the page" "$big_url"
    bench_case -n curl -l "curl -o /dev/null" -e "sent=$work/access.log=$big_size" -e "lines=1=^$big_size\$" -- \
        curl --http1.0 -s -o /dev/null -w '%{size_download}\n' "$big_url"
    bench_run --title "4. a ${big_mib} MiB page" --ref curl --bytes "$big_size" --rounds 2 --warmup 1
    echo "   $cli_name resident while checking a ${big_mib} MiB page: $(result cli.rss) MiB (curl $(result curl.rss) MiB)"
    target "$cli_name resident during a ${big_mib} MiB check, MiB" "$(result cli.rss)" "<=" 64
    echo "   searching the page for a text: $(result match.rss) MiB"
    target "$cli_name resident during a ${big_mib} MiB search, MiB" "$(result match.rss)" "<=" \
        "$(awk -v r="$(result cli.rss)" 'BEGIN { print r + 1 }')"
}

# --- 5. system calls per extra host ----------------------------------------------------------
# calls_of FILE: the calls strace -c counted, by name, as "name count" lines.
calls_of() { awk '$NF != "total" && $NF != "syscall" && $1 ~ /^[0-9.]+$/ { print $NF, $4 }' "$1"; }

part5() {
    local eleven=("${hosts[@]:0:9}" "http://127.0.0.1:${pages[0]}/?again" "http://127.0.0.1:${pages[1]}/?again")
    printf '[main]\r\n' >"$work/calls/sentrel.ini"
    local modes=("one after another" "--concurrency 10") opts worst=""
    echo "5. system calls per extra host: strace -f -c of $cli_name --check, 11 hosts minus 1 host, over ten"
    for mode in 0 1; do
        opts=()
        if [ "$mode" -eq 1 ]; then
            [ "$concurrency" -eq 1 ] || { echo "   --concurrency: skipped ($cli_name does not understand the option yet)"; continue; }
            opts=(--concurrency 10)
        fi
        local per=()
        for _ in 1 2 3; do
            (cd "$work/calls" && strace -f -c -o "$work/calls/one.txt" "$cli" --check ${opts[@]+"${opts[@]}"} "${hosts[0]}" >/dev/null) ||
                { echo "bench: the 1-host check failed"; exit 1; }
            (cd "$work/calls" && strace -f -c -o "$work/calls/eleven.txt" "$cli" --check ${opts[@]+"${opts[@]}"} "${eleven[@]}" >/dev/null) ||
                { echo "bench: the 11-host check failed"; exit 1; }
            per+=("$(awk '{ n[$1] += $2 } END { for (k in n) t += n[k]; printf "%.1f\n", t / 10 }' \
                <(calls_of "$work/calls/eleven.txt") <(calls_of "$work/calls/one.txt" | awk '{ print $1, -$2 }'))")
        done
        # The calls of the last pair, largest differences first.
        local detail
        detail=$(awk '{ n[$1] += $2 } END { for (k in n) if (n[k] != 0) printf "%s %.1f\n", k, n[k] / 10 }' \
            <(calls_of "$work/calls/eleven.txt") <(calls_of "$work/calls/one.txt" | awk '{ print $1, -$2 }') |
            sort -k2,2nr | head -12 | awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $1, $2 }')
        printf '   %-20s per extra host %s (min / median / max of 3)\n      %s\n' "${modes[$mode]}" "$(spread "${per[@]}")" "$detail"
        local m
        m=$(median "${per[@]}")
        # What a host costs whatever the loop does: the log's two lines,
        # each opened, written and closed; the connection itself; the
        # linger, keep-alive and address-reuse options every stream sets
        # and the half-close before its close.
        printf '      fixed per host 15 (log 2 x open/write/close, socket/connect/send/recv/close, 3 setsockopt, shutdown); beyond them %s\n' \
            "$(awk -v m="$m" 'BEGIN { printf "%.1f", m - 15 }')"
        if [ -z "$worst" ] || awk -v a="$m" -v b="$worst" 'BEGIN { exit !(a > b) }'; then worst=$m; fi
    done
    target "$cli_name system calls per extra host (log included)" "$worst" "<=" 15
}

for part in 1 2 3 4 5; do
    [[ $only != *$part* ]] || "part$part"
done
bench_verdict
