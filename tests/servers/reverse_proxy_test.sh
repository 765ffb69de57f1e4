#!/usr/bin/env bash
# The README's reverse-proxy recipe, as written there: nginx with TLS in front of loudara-cli onair
# --http on loopback. Through the proxy the page loads, the API answers the token, a change from
# the page's own https origin passes the origin check and one from another site does not, the
# session cookie is marked Secure, and the live meters stream through without buffering.
#   reverse_proxy_test.sh LOUDARA_CLI SOURCE_DIR
# Exits 77 (skipped) when nginx, openssl, curl or jackd are missing.
set -u
cli="$1"
source_dir="$2"
for program in nginx openssl curl jackd jack_wait; do
    command -v "$program" >/dev/null || { echo "SKIP: $program is not installed"; exit 77; }
done
work="$(mktemp -d)"
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

export JACK_DEFAULT_SERVER="loudara_proxy_$$" JACK_NO_AUDIO_RESERVATION=1 JACK_NO_START_SERVER=1 HOME="$work"
unset XDG_DATA_HOME XDG_CONFIG_HOME
jackd --no-realtime -n "$JACK_DEFAULT_SERVER" -d dummy -r 44100 -p 1024 >"$work/jackd.log" 2>&1 &
pids+=($!)
for _ in $(seq 10); do jack_wait -s "$JACK_DEFAULT_SERVER" -w -t 2 >/dev/null 2>&1 && break; done

token="proxy-test-token-$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')"
(umask 077 && echo "$token" >"$work/token")
service_port="$(free_port)"
proxy_port="$(free_port)"
"$cli" onair --device jack --http "$service_port" --http-token-file "$work/token" >"$work/onair.out" 2>"$work/onair.log" &
pids+=($!)

# The recipe from the README, pointed at this test's ports and a certificate of its own.
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout "$work/key.pem" -out "$work/cert.pem" \
    >/dev/null 2>&1 || fail "openssl could not make a certificate"
site="$(awk '/^```nginx$/ { on = 1; next } on && /^```$/ { exit } on' "$source_dir/README.md")"
[ -n "$site" ] || fail "no nginx recipe in the README"
site="$(sed -e "s|listen 443 ssl;|listen 127.0.0.1:$proxy_port ssl;|" \
            -e "s|ssl_certificate .*;|ssl_certificate $work/cert.pem;|" \
            -e "s|ssl_certificate_key .*;|ssl_certificate_key $work/key.pem;|" \
            -e "s|http://127.0.0.1:8088;|http://127.0.0.1:$service_port;|" <<<"$site")"
mkdir -p "$work/nginx"
cat >"$work/nginx.conf" <<CONF
$( [ "$(id -u)" -eq 0 ] && echo "user root;" )
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events {}
http {
    access_log off;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
$site
}
CONF
nginx -c "$work/nginx.conf" -p "$work/nginx" >"$work/nginx.out" 2>&1 &
pids+=($!)

base="https://127.0.0.1:$proxy_port"
curl_() { curl -sk --max-time 10 "$@"; }
for _ in $(seq 100); do
    [ "$(curl_ -o /dev/null -w '%{http_code}' -H "Authorization: Bearer $token" "$base/api/status")" = 200 ] && break
    sleep 0.2
done

[ "$(curl_ -o /dev/null -w '%{http_code}' "$base/")" = 200 ] || fail "the page does not load through the proxy"
[ "$(curl_ -o /dev/null -w '%{http_code}' "$base/api/status")" = 401 ] || fail "the API answers without the token"
[ "$(curl_ -o /dev/null -w '%{http_code}' -H "Authorization: Bearer $token" "$base/api/status")" = 200 ] ||
    fail "the API does not answer the token through the proxy: $(cat "$work/nginx/error.log" "$work/onair.log")"
patch() {  # patch ORIGIN: the status of a change sent from ORIGIN
    curl_ -o /dev/null -w '%{http_code}' -X PATCH -H "Authorization: Bearer $token" -H "Origin: $1" \
        -H 'Content-Type: application/json' -d '{"driveDb[2]": 9}' "$base/api/parameters"
}
[ "$(patch "$base")" = 200 ] || fail "a change from the page's own https origin is refused behind the proxy"
[ "$(patch https://evil.example)" = 403 ] || fail "a change from another site passes the proxy"
cookie="$(curl_ -D - -o /dev/null -d '' -H "Authorization: Bearer $token" -H "Origin: $base" "$base/api/session" |
          grep -i '^set-cookie:')"
grep -q "; Secure" <<<"$cookie" || fail "the session cookie behind TLS is not Secure: $cookie"
events="$(curl_ -N --max-time 3 -H "Authorization: Bearer $token" "$base/api/events" 2>/dev/null | grep -c '^data: ')"
[ "$events" -ge 15 ] || fail "the meters do not stream through the proxy ($events events in 3 s)"
grep -q "127.0.0.1 (forwarded for 127.0.0.1): set driveDb\[2\]" "$work/onair.log" ||
    fail "the change is not logged with the forwarded address: $(cat "$work/onair.log")"

[ "$failures" -eq 0 ] && echo "reverse proxy: all checks passed"
exit $((failures > 0))
