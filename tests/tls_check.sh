#!/usr/bin/env bash
# End to end over TLS: "sentrel-cli --check" and sentrel-get against an nginx
# with TLS that this script starts on a loopback port, with a CA and two
# server certificates made here with the openssl command (one names
# localhost, one names another host). The CA is trusted through
# SSL_CERT_FILE only.
#   tests/tls_check.sh SENTREL_CLI [SENTREL_GET]
set -euo pipefail

sentrel=$(realpath "$1")
get=${2:+$(realpath "$2")}
# shellcheck source-path=SCRIPTDIR source=../scripts/nginx-lib.sh
. "$(dirname "$0")/../scripts/nginx-lib.sh"
nginx_workdir sentrel-tls-check
fail() { echo "FAIL: $*"; exit 1; }

make_ca "Sentrel check CA $$"
make_cert good "DNS:localhost,IP:127.0.0.1"
make_cert other "DNS:other.example"

port=$(free_port)
other_port=$(free_port "$port")
http_port=$(free_port "$port" "$other_port")
mkdir -p "$work/run"
printf '<html>checked over TLS</html>\n' >"$work/www/index.html"
server() {  # port name
    printf '    server { listen 127.0.0.1:%s ssl; ssl_certificate %s; ssl_certificate_key %s; root %s; }\n' \
        "$1" "$work/$2.pem" "$work/$2.key" "$work/www"
}
{
    nginx_conf_prologue 64
    server "$port" good
    server "$other_port" other
    printf '    server { listen 127.0.0.1:%s; root %s; }\n' "$http_port" "$work/www"
    echo "}"
} >"$work/nginx.conf"
start_nginx "https://localhost:$port/" --cacert "$work/ca.pem"

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

# OpenSSL is loaded by the first TLS session: a check of plain http hosts
# never maps it, one of an https host does (LD_DEBUG=files traces every
# library the dynamic loader opens, into one file per process).
loaded() {  # trace-name: the libraries the traced run opened
    ls "$work/$1".* >/dev/null 2>&1 || fail "no loader trace $1"
    grep -ho 'file=[^ ]*' "$work/$1".* | sort -u
}
out=$(LD_DEBUG=files LD_DEBUG_OUTPUT=$work/ld-http timeout 60 "$sentrel" --check "http://127.0.0.1:$http_port/" 2>&1) ||
    fail "check of a plain http host: $out"
echo "$out" | grep -q "Successful connection to: http://127.0.0.1:$http_port/" || fail "no success line: $out"
if loaded ld-http | grep -E 'libssl|libcrypto'; then fail "a check of a plain http host loaded OpenSSL"; fi
out=$(LD_DEBUG=files LD_DEBUG_OUTPUT=$work/ld-https timeout 60 "$sentrel" --check "https://localhost:$port/" 2>&1) ||
    fail "traced check of a trusted host: $out"
loaded ld-https | grep -qx 'file=libssl.so.3' || fail "an https check did not load libssl: $(loaded ld-https)"

if [ -n "$get" ]; then
    out=$(timeout 60 "$get" "https://localhost:$port/index.html" 2>"$work/err") || fail "sentrel-get: $(cat "$work/err")"
    [ "$out" = "<html>checked over TLS</html>" ] || fail "sentrel-get body: $out"
    status=0
    timeout 60 "$get" "https://localhost:$other_port/index.html" >/dev/null 2>"$work/err" || status=$?
    [ "$status" -eq 1 ] || fail "sentrel-get of a mismatching host exited $status"
    grep -q "TLS: certificate verify failed: hostname mismatch" "$work/err" || fail "sentrel-get reason: $(cat "$work/err")"
fi
echo "ok"
