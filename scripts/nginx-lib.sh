# shellcheck shell=bash
# An nginx of a script's own, for the benchmarks and the end-to-end checks:
# a temporary folder that goes away with the script (nginx stopped first), a
# loopback port nothing listens on, certificates of a throwaway authority,
# the start of a configuration that keeps every file nginx writes inside the
# folder, and nginx run in the foreground until it answers. Sourced, never
# run, by bash scripts under `set -euo pipefail`:
#   . "$root/scripts/nginx-lib.sh"
#   nginx_workdir sentrel-bench            # sets $work, with www/ and tmp/
#   port=$(free_port)
#   { nginx_conf_prologue; printf '    server { listen 127.0.0.1:%s; root %s; }\n}\n' "$port" "$work/www"; } \
#       >"$work/nginx.conf"
#   start_nginx "http://127.0.0.1:$port/"
# The functions share $work and $nginx_pid with the script.

nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
nginx_pid=
work=

# nginx_workdir NAME: a fresh $work below $TMPDIR (or /tmp) with www/ for the
# pages and tmp/ for nginx's own files; at exit nginx stops and it is removed.
nginx_workdir() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/$1-XXXXXX")
    trap 'stop_nginx; rm -rf "$work"' EXIT
    mkdir -p "$work/www" "$work/tmp"
}

# free_port [TAKEN...]: a loopback port nothing uses and that is not one of
# TAKEN (ports the script has chosen but nginx does not hold yet). It is taken
# below the kernel's range for clients' own ports, so a parallel test's client
# cannot be holding it when nginx binds; nothing may listen on it either.
free_port() {
    local port taken low=32768 range
    read -r low _ <"/proc/sys/net/ipv4/ip_local_port_range" 2>/dev/null || low=32768
    range=$((low - 10000))
    [ "$range" -ge 1000 ] || range=1000
    while :; do
        port=$((low - range + (RANDOM * 32768 + RANDOM) % range))
        for taken in "$@"; do [ "$port" != "$taken" ] || continue 2; done
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && continue
        if command -v ss >/dev/null && [ -n "$(ss -Htan "( sport = :$port )" 2>/dev/null)" ]; then continue; fi
        break
    done
    echo "$port"
}

# make_ca CN: a certificate authority, $work/ca.pem with its key $work/ca.key.
make_ca() {
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
        -keyout "$work/ca.key" -out "$work/ca.pem" -subj "/CN=$1" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2>/dev/null
}

# make_cert NAME ALTNAMES [CN]: a server certificate $work/NAME.pem with its
# key $work/NAME.key, signed by the authority of make_ca, for ALTNAMES (as in
# subjectAltName: "DNS:localhost,IP:127.0.0.1"); its subject is CN, or NAME.
make_cert() {
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/$1.key" \
        -out "$work/$1.csr" -subj "/CN=${3:-$1}" 2>/dev/null
    printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$2" >"$work/$1.ext"
    openssl x509 -req -in "$work/$1.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial \
        -days 2 -extfile "$work/$1.ext" -out "$work/$1.pem" 2>/dev/null
}

# nginx_conf_prologue [CONNECTIONS]: the configuration up to and with the
# opening of the http block: one process in the foreground, no access log,
# the pid, the error log and the temporary files in $work. The caller adds
# its http settings and servers and closes the block; directives that must
# come first (load_module) go before it.
nginx_conf_prologue() {
    cat <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections ${1:-1024}; }
http {
    access_log off;
    client_body_temp_path $work/tmp/body;
    proxy_temp_path $work/tmp/proxy;
    fastcgi_temp_path $work/tmp/fastcgi;
    uwsgi_temp_path $work/tmp/uwsgi;
    scgi_temp_path $work/tmp/scgi;
CONF
}

# start_nginx URL [CURL_OPTION...]: runs nginx on $work/nginx.conf in the
# background and waits (5 s at most) until curl gets an answer from URL;
# when nginx does not answer, says so with its error log and ends the script.
start_nginx() {
    local url=$1
    shift
    "$nginx_bin" -e "$work/error.log" -p "$work/" -c "$work/nginx.conf" &
    nginx_pid=$!
    for _ in $(seq 100); do
        curl -s -o /dev/null "$@" "$url" && return 0
        kill -0 "$nginx_pid" 2>/dev/null || break  # it stopped: no point waiting
        sleep 0.05
    done
    echo "${0##*/}: nginx did not start:"
    cat "$work/error.log"
    exit 1
}

# stop_nginx: stops the nginx of start_nginx, if it runs, and waits for it.
stop_nginx() {
    [ -z "$nginx_pid" ] || { kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null; } || true
    nginx_pid=
}
