#!/usr/bin/env bash
# The monitor's memory while it checks a host that serves a huge body: the
# body of a reply is counted, not kept, so `sentrel --check` of a 1 GiB page
# must stay under 64 MiB resident. Beside it, curl fetching the same page to
# /dev/null, for scale. nginx serves a sparse file on a loopback port.
#   bench/monitor.sh          (Release build in build/, or build-bench/ beside a sanitizer build/)
#   BIG_MIB=1024 bench/monitor.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
big_mib=${BIG_MIB:-1024}
. "$root/scripts/nginx-lib.sh"
[ -x "$nginx_bin" ] || { echo "bench: nginx is not installed (scripts/setup.sh)"; exit 1; }
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing (scripts/setup.sh installs it)"; exit 1; }

if [ -f "$build/CMakeCache.txt" ] && grep -q '^SENTREL_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
    build=$root/build-bench
fi
[ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSENTREL_TESTS=OFF >/dev/null
cmake --build "$build" --target sentrel >/dev/null

nginx_workdir sentrel-bench
mkdir -p "$work/run"
truncate -s $((big_mib * 1024 * 1024)) "$work/www/big.bin"
port=$(free_port)
{
    nginx_conf_prologue 64
    cat <<CONF
    sendfile on;
    server { listen 127.0.0.1:$port; root $work/www; }
}
CONF
} >"$work/nginx.conf"
start_nginx "http://127.0.0.1:$port/" -r 0-0
url="http://127.0.0.1:$port/big.bin"

cd "$work/run"
t0=$(date +%s%N)
/usr/bin/time -f '%M' -o "$work/rss" "$build/sentrel" --check "$url" >"$work/out" || {
    echo "bench: the check failed:"
    cat "$work/out"
    exit 1
}
t1=$(date +%s%N)
rss_kib=$(tail -1 "$work/rss")
/usr/bin/time -f '%M' -o "$work/rss-curl" curl --http1.0 -s -o /dev/null "$url"
curl_kib=$(tail -1 "$work/rss-curl")
echo "monitor: check of a ${big_mib} MiB body in $(((t1 - t0) / 1000000)) ms; resident ${rss_kib} KiB (curl ${curl_kib} KiB), target < 65536 KiB: $([ "$rss_kib" -lt 65536 ] && echo met || echo MISSED)"
