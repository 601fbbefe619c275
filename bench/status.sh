#!/usr/bin/env bash
# The status page's costs:
#   1. CPU per request over ten hosts with a year of history (a file
#      bench/HistoryYear.cpp writes, read by bench/StatusCost.cpp): the page
#      and the JSON, each rendered from the last pass (target at most 5 ms,
#      median and p99), beside what a pass pays (the model's update) and
#      what the first pass and the once-a-minute uptime count pay;
#   2. 100 clients loading the page at once, every 2 s, beside a monitor
#      at 1 s cycles over ten loopback pages (one nginx this script starts):
#      the gaps between its passes, as the first page sees them, under that
#      load and without it; how much later than the quiet median gap a pass
#      came (target: none more than 100 ms).
#   bench/status.sh                    (a year, 30 s of each phase)
#   DAYS=30 LOAD=20 bench/status.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
days=${DAYS:-365}
load=${LOAD:-30}

. "$root/scripts/nginx-lib.sh"
. "$root/bench/lib.sh"
[ -x "$nginx_bin" ] || { echo "bench: nginx is not installed (scripts/setup.sh)"; exit 1; }
bench_build sentrel-cli
cmake -S "$root" -B "$build" -DSENTREL_BENCH=ON >/dev/null
bench_build HistoryYear StatusCost sentrel-cli

nginx_workdir sentrel-status
bench_begin

# 1. A year, then the page over it.
echo "status: $days days of 10 hosts at 30 s cycles, then the page over them"
"$build/HistoryYear" "$work/year.db" "$days" 10 30 >/dev/null
"$build/StatusCost" "$work/year.db" 10 >"$work/cost.txt"
val() { awk -F= -v k="$1" '$1 == k { print $2 }' "$work/cost.txt"; }
row() { printf '  %-28s min %7s  median %7s  p99 %7s  max %7s\n' "$1" "$(val "$2_min")" "$(val "$2_median")" \
    "$(val "$2_p99")" "$(val "$2_max")"; }
printf '  CPU ms; the page %s bytes, the JSON %s bytes\n' "$(val page_bytes)" "$(val api_bytes)"
row "request: the page" page_cpu_ms
row "request: the JSON" api_cpu_ms
row "request: a badge" badge_cpu_ms
row "each pass: the model" pass_cpu_ms
row "once a minute: uptime count" count_cpu_ms
printf '  %-28s %7s\n' "the first pass (last checks)" "$(val first_pass_cpu_ms)"
target "page CPU per request, median ms" "$(val page_cpu_ms_median)" "<=" 5
target "page CPU per request, p99 ms" "$(val page_cpu_ms_p99)" "<=" 5
target "JSON CPU per request, median ms" "$(val api_cpu_ms_median)" "<=" 5
target "JSON CPU per request, p99 ms" "$(val api_cpu_ms_p99)" "<=" 5
rm -f "$work/year.db"*

# 2. The monitor's passes with and without 100 clients on the page.
[ "$load" -gt 0 ] || { bench_verdict; exit; }
printf '<html><body>Sentrel status bench</body></html>\n' >"$work/www/index.html"
port=$(free_port)
listen=$(free_port)
{
    nginx_conf_prologue 1024
    printf "    log_format passes '\$msec \$arg_host';\n"
    printf '    server { listen 127.0.0.1:%s; root %s; access_log %s passes; }\n}\n' "$port" "$work/www" \
        "$work/access.log"
} >"$work/nginx.conf"
start_nginx "http://127.0.0.1:$port/"
pid=
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null || true; stop_nginx; rm -rf "$work"' EXIT
mkdir -p "$work/m"
{
    echo "[main]"
    for i in $(seq 10); do
        echo "server${i}name=http://127.0.0.1:$port/?host=$i"
        echo "server${i}active=1"
    done
    echo "frequency=1"
    echo "autostart=1"
} >"$work/m/sentrel.ini"
(cd "$work/m" && exec "$build/sentrel-cli" --headless --metrics-listen "127.0.0.1:$listen" >/dev/null 2>"$work/m.err") &
pid=$!
cat >"$work/load.py" <<'PY'
# Every 2 s, 100 clients load the page at once (a team opening the page
# together), until the time is up; prints the pages loaded, the connections
# turned away, the bursts and the longest burst in ms.
import asyncio, sys, time
port, seconds = int(sys.argv[1]), float(sys.argv[2])
done = refused = 0
async def client():
    global done, refused
    try:
        r, w = await asyncio.open_connection("127.0.0.1", port)
        w.write(b"GET / HTTP/1.1\r\nHost: bench\r\n\r\n")
        body = await r.read()
        w.close()
        if body.startswith(b"HTTP/1.1 200"):
            done += 1
        else:
            refused += 1
    except OSError:
        refused += 1
async def main():
    end, bursts, longest = time.monotonic() + seconds, 0, 0.0
    while time.monotonic() < end:
        t0 = time.monotonic()
        await asyncio.gather(*(client() for _ in range(100)))
        bursts, longest = bursts + 1, max(longest, time.monotonic() - t0)
        await asyncio.sleep(max(0.0, t0 + 2 - time.monotonic()))
    print(done, refused, bursts, round(longest * 1000))
asyncio.run(main())
PY
# The gaps (ms) between the first page's checks from line $1 of the log on.
gaps() { tail -n +"$1" "$work/access.log" | awk '$2 == 1 { if (t) printf "%.0f\n", ($1 - t) * 1000; t = $1 }'; }
echo "load: a monitor at 1 s cycles over 10 pages; ${load} s quiet, then ${load} s with 100 clients loading the page at once every 2 s"
sleep 3
from=$(($(wc -l <"$work/access.log") + 1))
sleep "$load"
quiet=$(gaps "$from")
cpu_quiet=$(proc_cpu_ms "$pid")
from=$(($(wc -l <"$work/access.log") + 1))
read -r pages refused bursts longest < <(/usr/bin/python3 "$work/load.py" "$listen" "$load")
loaded=$(gaps "$from")
cpu_loaded=$(($(proc_cpu_ms "$pid") - cpu_quiet))
kill -0 "$pid" 2>/dev/null || { echo "bench: the monitor stopped:"; cat "$work/m.err"; exit 1; }
base=$(median $quiet)
late() { for g in "$@"; do echo $((g - ${base%.*})); done | sort -n | tail -1; }
printf '  quiet:  %3d passes, gap median %s ms, the latest %s ms late\n' "$(echo "$quiet" | wc -l)" "$base" \
    "$(late $quiet)"
printf '  loaded: %3d passes, gap median %s ms, the latest %s ms late\n' "$(echo "$loaded" | wc -l)" \
    "$(median $loaded)" "$(late $loaded)"
printf '  %s bursts of 100: %s pages served, %s connections turned away, the longest burst %s ms\n' \
    "$bursts" "$pages" "$refused" "$longest"
printf '  the monitor used %s ms CPU while loaded (%s ms per page)\n' "$cpu_loaded" "$(fmt_div "$cpu_loaded" "$pages" 3)"
target "latest pass under 100 clients, ms late" "$(late $loaded)" "<=" 100
kill -TERM "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
pid=
bench_verdict
