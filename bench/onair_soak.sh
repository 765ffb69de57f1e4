#!/usr/bin/env bash
# ON-AIR soak: a playout client feeds Loudara's JACK client on a JACK server with no hardware,
# Loudara processes it to its output and streams it to a local Icecast server, which is stopped for
# 30 s half-way and started again. At the end: underflows, overflows, xruns, memory at the start
# and the end, and whether the stream came back by itself. A plain pass-through client is fed the
# same playout beside Loudara: its xruns and its own late periods (callbacks finished after their
# deadline) are the yardstick for Loudara's.
#   bench/onair_soak.sh [BUILD_DIR] [SECONDS]      (as root: Icecast runs as nobody)
#   SOAK_RATE (44100) and SOAK_PERIOD (1024 frames) set the JACK server's rate and period;
#   SOAK_PORT (18000) is the local Icecast server's port; SOAK_REALTIME=1 runs the server with
#   real-time scheduling (jackd -R) instead of without.
set -euo pipefail
build="${1:-$(dirname "$0")/../build}"
seconds="${2:-3600}"
cli="$(cd "$build" && pwd)/src/cli/loudara-cli"
work="$(mktemp -d)"
chmod 755 "$work"
port="${SOAK_PORT:-18000}"
server="loudara_soak_$$"
export JACK_NO_AUDIO_RESERVATION=1 JACK_DEFAULT_SERVER="$server"
pids=()
icecast_pid=""
cleanup() {
    [ -n "$icecast_pid" ] && kill "$icecast_pid" 2>/dev/null || true
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/log"
cat >"$work/icecast.xml" <<XML
<icecast>
  <limits><clients>20</clients><sources>4</sources><source-timeout>10</source-timeout></limits>
  <authentication><source-password>soak</source-password><admin-user>admin</admin-user><admin-password>soak-admin</admin-password></authentication>
  <hostname>127.0.0.1</hostname><location>soak</location><admin>soak@localhost</admin>
  <listen-socket><port>$port</port><bind-address>127.0.0.1</bind-address></listen-socket>
  <paths><basedir>/usr/share/icecast2</basedir><logdir>$work/log</logdir><webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin</adminroot><pidfile>$work/log/icecast.pid</pidfile></paths>
  <logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>2</loglevel></logging>
  <security><chroot>0</chroot></security>
</icecast>
XML
chmod -R a+rwX "$work"
start_icecast() {
    if [ "$(id -u)" -eq 0 ]; then runuser -u nobody -- icecast2 -b -c "$work/icecast.xml" >/dev/null; else icecast2 -b -c "$work/icecast.xml" >/dev/null; fi
    for _ in $(seq 50); do [ -s "$work/log/icecast.pid" ] && break; sleep 0.1; done
    icecast_pid="$(cat "$work/log/icecast.pid")"
}
stop_icecast() { kill "$icecast_pid"; icecast_pid=""; rm -f "$work/log/icecast.pid"; }

if [ "${SOAK_REALTIME:-0}" = 1 ]; then scheduling=-R; else scheduling=--no-realtime; fi
jackd "$scheduling" -n "$server" -d dummy -r "${SOAK_RATE:-44100}" -p "${SOAK_PERIOD:-1024}" >/dev/null 2>&1 &
pids+=($!)
jack_wait -w -t 10 >/dev/null 2>&1
start_icecast
"$build/bench/make_test_song" "$work/song.wav" 120
# The playout program: the song again and again into loudara's inputs.
( while true; do "$cli" play "$work/song.wav" --output jack --jack-name player \
      --connect-output loudara:in_1 --connect-output loudara:in_2 >/dev/null 2>&1 || sleep 1; done ) &
pids+=($!)
"$build/bench/jack_passthrough" passthrough >"$work/passthrough.out" 2>&1 &
passthrough=$!
pids+=("$passthrough")
( sleep 3; jack_connect player:out_1 passthrough:in_1; jack_connect player:out_2 passthrough:in_2 ) >/dev/null 2>&1 &
LOUDARA_ICECAST_PASSWORD=soak "$cli" onair --device jack --connect-input player:out_1 --connect-input player:out_2 \
    --icecast "icecast://127.0.0.1:$port/soak.mp3" --bitrate 128 --status-interval 60 \
    --status-file "$work/status.json" --seconds "$seconds" >"$work/onair.out" 2>"$work/onair.log" &
onair=$!
pids+=("$onair")
sleep 5
rss_start="$(awk '/VmRSS/ { print $2 }' "/proc/$onair/status")"
sleep $((seconds / 2 > 5 ? seconds / 2 - 5 : 0))
stop_icecast
echo "Icecast stopped at $(date +%T)"
sleep 30
start_icecast
echo "Icecast started again at $(date +%T)"
sleep $((seconds / 2 > 50 ? seconds / 2 - 50 : 0))
rss_end="$(awk '/VmRSS/ { print $2 }' "/proc/$onair/status")"
cp "$work/status.json" "$work/status-near-end.json"
wait "$onair" || true
kill "$passthrough" 2>/dev/null || true
wait "$passthrough" 2>/dev/null || true
echo "pass-through client beside it: $(cat "$work/passthrough.out")"
echo "loudara beside it: $(grep -o 'xruns [0-9]*, late periods [0-9]*' "$work/onair.out" || echo 'no summary')"
echo "loudara's summary:"
cat "$work/onair.out"
echo "resident memory: $rss_start kB after 5 s, $rss_end kB 20 s before the end"
echo "status 20 s before the end:"
cat "$work/status-near-end.json"
echo "last lines of onair:"
tail -n 4 "$work/onair.log"
