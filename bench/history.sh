#!/usr/bin/env bash
# The pass history's costs:
#   1. a simulated year of ten hosts at 30 s cycles, written through the
#      monitor's own recorder with synthetic times (bench/HistoryYear.cpp):
#      the file's size (target under 50 MB), the pages a pass writes to the
#      write-ahead log on average, folding included (target at most 2), the
#      time per pass (min / median / p99 / max), and the 30-day report and
#      the history window's 30-day load (target under 200 ms) read from it;
#   2. a soak at 1 s cycles over ten loopback pages (one nginx this script
#      starts): two monitors side by side for the same time, one writing the
#      history and one with "history=" empty; CPU per check of the first
#      over the second (target at most 1.15x), the bytes it writes beyond
#      the second per pass in 4 KiB pages (log and checkpoints; target at
#      most 2), and its resident memory growth after the first minute
#      (target at most 256 KiB: the rows go to the file, not to memory). CPU
#      is read in ticks of 10 ms: a soak shorter than the default 10 minutes
#      gives a coarse ratio.
#   bench/history.sh                       (a year, a minute's warm-up, a 10-minute soak)
#   DAYS=30 WARM=10 SOAK=60 bench/history.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
days=${DAYS:-365}
soak=${SOAK:-600}
warm=${WARM:-60}

. "$root/scripts/nginx-lib.sh"
. "$root/bench/lib.sh"
[ -x "$nginx_bin" ] || { echo "bench: nginx is not installed (scripts/setup.sh)"; exit 1; }
command -v curl >/dev/null || { echo "bench: curl is not installed (scripts/setup.sh)"; exit 1; }
bench_build sentrel-cli
cmake -S "$root" -B "$build" -DSENTREL_BENCH=ON >/dev/null
bench_build HistoryYear sentrel-cli

nginx_workdir sentrel-history
bench_begin

# 1. A year.
echo "history: $days days of 10 hosts at 30 s cycles through the recorder"
"$build/HistoryYear" "$work/year.db" "$days" 10 30 >"$work/year.txt"
val() { awk -F= -v k="$1" '$1 == k { print $2 }' "$work/year.txt"; }
size_mb=$(fmt_div "$(val size_bytes)" 1048576 1)
printf '  %s passes; file %s MiB; %s write-ahead log pages per pass\n' "$(val passes)" "$size_mb" \
    "$(val wal_pages_per_pass)"
printf '  per pass (us):       min %8s  median %8s  p99 %8s  max %8s\n' \
    "$(val pass_us_min)" "$(val pass_us_median)" "$(val pass_us_p99)" "$(val pass_us_max)"
printf '  30-day report (ms):  min %8s  median %8s  max %8s\n' \
    "$(val report30_ms_min)" "$(val report30_ms_median)" "$(val report30_ms_max)"
printf '  30-day chart (ms):   min %8s  median %8s  max %8s\n' \
    "$(val chart30_ms_min)" "$(val chart30_ms_median)" "$(val chart30_ms_max)"
[ "$days" -lt 365 ] || target "file size after a year, MiB" "$size_mb" "<=" 50
target "history window's 30-day load, median ms" "$(val chart30_ms_median)" "<=" 200
target "write-ahead log pages per pass over the simulated days" "$(val wal_pages_per_pass)" "<=" 2
rm -f "$work/year.db"*

# 2. The soak, history on beside history off.
[ "$soak" -gt 0 ] || { bench_verdict; exit; }
printf '<html><body>Sentrel history soak</body></html>\n' >"$work/www/index.html"
port=$(free_port)
{
    nginx_conf_prologue 1024
    printf '    server { listen 127.0.0.1:%s; root %s; }\n}\n' "$port" "$work/www"
} >"$work/nginx.conf"
start_nginx "http://127.0.0.1:$port/"
pids=()
trap 'for p in ${pids[@]+"${pids[@]}"}; do kill "$p" 2>/dev/null || true; done; stop_nginx; rm -rf "$work"' EXIT
for side in on off; do
    mkdir -p "$work/$side"
    {
        echo "[main]"
        for i in $(seq 10); do
            echo "server${i}name=http://127.0.0.1:$port/?host=$i"
            echo "server${i}active=1"
        done
        echo "frequency=1"
        echo "autostart=1"
        [ "$side" = on ] && echo "history=h.db" || echo "history="
    } >"$work/$side/sentrel.ini"
    (cd "$work/$side" && exec "$build/sentrel-cli" --headless >/dev/null 2>"$work/$side.err") &
    pids+=($!)
done
cycles() { grep -c 'All servers connected correctly' "$work/$1/status.log" || true; }
proc_wchar() { awk '$1 == "wchar:" { print $2 }' "/proc/$1/io"; }
echo "soak: two monitors at 1 s cycles over 10 pages, ${warm} s to warm up, then ${soak} s; history on and off"
sleep "$warm"
declare -A cpu0 rss0 c0 w0
i=0
for side in on off; do
    cpu0[$side]=$(proc_cpu_ms "${pids[$i]}")
    rss0[$side]=$(proc_rss_kib "${pids[$i]}")
    w0[$side]=$(proc_wchar "${pids[$i]}")
    c0[$side]=$(cycles "$side")
    i=$((i + 1))
done
sleep "$soak"
declare -A per wrote passes
i=0
for side in on off; do
    pid=${pids[$i]}
    kill -0 "$pid" 2>/dev/null || { echo "bench: the monitor ($side) stopped:"; cat "$work/$side.err"; exit 1; }
    cpu=$(($(proc_cpu_ms "$pid") - cpu0[$side]))
    rss=$(($(proc_rss_kib "$pid") - rss0[$side]))
    wrote[$side]=$(($(proc_wchar "$pid") - w0[$side]))
    passes[$side]=$(($(cycles "$side") - c0[$side]))
    checks=$((($(cycles "$side") - c0[$side]) * 10))
    per[$side]=$(fmt_div "$cpu" "$checks" 4)
    printf '  history %-3s  %6d checks  CPU %6d ms (%s ms per check)  RSS growth %5d KiB\n' \
        "$side" "$checks" "$cpu" "${per[$side]}" "$rss"
    [ "$side" = on ] && rss_on=$rss
    i=$((i + 1))
done
rows=$(( $(cycles on) * 10 ))
printf '  h.db with its write-ahead log: %s bytes for about %s rows\n' \
    "$(cat "$work/on/h.db" "$work/on/h.db-wal" 2>/dev/null | wc -c)" "$rows"
# What history on writes beyond history off (the same log lines), per pass.
pages=$(awk -v a="${wrote[on]}" -v b="${passes[on]}" -v c="${wrote[off]}" -v d="${passes[off]}" \
    'BEGIN { if (b == 0 || d == 0) print ""; else printf "%.2f\n", (a / b - c / d) / 4096 }')
target "CPU per check, history on / off" "$(fmt_div "${per[on]}" "${per[off]}" 2)" "<=" 1.15
target "history's writes per pass, 4 KiB pages" "$pages" "<=" 2
target "RSS growth with history on after the first minute, KiB" "$rss_on" "<=" 256
for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
pids=()
bench_verdict
