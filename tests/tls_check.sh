#!/usr/bin/env bash
# End to end over TLS: "sentrel --check" and sentrel-get against an nginx
# with TLS that this script starts on a loopback port, with a CA and two
# server certificates made here with the openssl command (one names
# localhost, one names another host). The CA is trusted through
# SSL_CERT_FILE only.
#   tests/tls_check.sh SENTREL [SENTREL_GET]
set -euo pipefail

sentrel=$(realpath "$1")
get=${2:+$(realpath "$2")}
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
work=$(mktemp -d "${TMPDIR:-/tmp}/sentrel-tls-check-XXXXXX")
nginx_pid=
cleanup() {
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

cert() {  # name altnames
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/$1.key" \
        -out "$work/$1.csr" -subj "/CN=$1" 2>/dev/null
    printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$2" >"$work/$1.ext"
    openssl x509 -req -in "$work/$1.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial \
        -days 2 -extfile "$work/$1.ext" -out "$work/$1.pem" 2>/dev/null
}
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -keyout "$work/ca.key" -out "$work/ca.pem" -subj "/CN=Sentrel check CA $$" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2>/dev/null
cert good "DNS:localhost,IP:127.0.0.1"
cert other "DNS:other.example"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
port=$(free_port)
other_port=$(free_port)
mkdir -p "$work/www" "$work/tmp" "$work/run"
printf '<html>checked over TLS</html>\n' >"$work/www/index.html"
server() {  # port name
    printf '    server { listen 127.0.0.1:%s ssl; ssl_certificate %s; ssl_certificate_key %s; root %s; }\n' \
        "$1" "$work/$2.pem" "$work/$2.key" "$work/www"
}
cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $work/tmp/body;
    proxy_temp_path $work/tmp/proxy;
    fastcgi_temp_path $work/tmp/fastcgi;
    uwsgi_temp_path $work/tmp/uwsgi;
    scgi_temp_path $work/tmp/scgi;
$(server "$port" good)
$(server "$other_port" other)
}
CONF
"$nginx_bin" -e "$work/error.log" -p "$work/" -c "$work/nginx.conf" &
nginx_pid=$!
for _ in $(seq 100); do
    curl -s --cacert "$work/ca.pem" -o /dev/null "https://localhost:$port/" && break
    sleep 0.05
done

export SSL_CERT_FILE=$work/ca.pem
cd "$work/run"  # the monitor keeps its settings and log in the working folder

# A trusted certificate that names the host: the check passes.
out=$(timeout 60 "$sentrel" --check "https://localhost:$port/" 2>&1) || fail "check of a trusted host: $out"
echo "$out" | grep -q "Successful connection to: https://localhost:$port/" || fail "no success line: $out"

# A certificate for another name: the check fails, and says why.
status=0
out=$(timeout 60 "$sentrel" --check "https://localhost:$other_port/" 2>&1) || status=$?
[ "$status" -eq 1 ] || fail "check of a mismatching host exited $status: $out"
echo "$out" | grep -q "Error accessing host: https://localhost:$other_port/" || fail "no error line: $out"
echo "$out" | grep -q "TLS: certificate verify failed: hostname mismatch" || fail "no TLS reason: $out"

# Without the CA in the store nothing verifies.
status=0
out=$(SSL_CERT_FILE=/nonexistent SSL_CERT_DIR=/nonexistent timeout 60 "$sentrel" --check "https://localhost:$port/" 2>&1) || status=$?
[ "$status" -eq 1 ] || fail "check without the CA exited $status: $out"
echo "$out" | grep -q "TLS: certificate verify failed: unable to get local issuer certificate" || fail "no TLS reason: $out"

if [ -n "$get" ]; then
    out=$(timeout 60 "$get" "https://localhost:$port/index.html" 2>"$work/err") || fail "sentrel-get: $(cat "$work/err")"
    [ "$out" = "<html>checked over TLS</html>" ] || fail "sentrel-get body: $out"
    status=0
    timeout 60 "$get" "https://localhost:$other_port/index.html" >/dev/null 2>"$work/err" || status=$?
    [ "$status" -eq 1 ] || fail "sentrel-get of a mismatching host exited $status"
    grep -q "TLS: certificate verify failed: hostname mismatch" "$work/err" || fail "sentrel-get reason: $(cat "$work/err")"
fi
echo "ok"
