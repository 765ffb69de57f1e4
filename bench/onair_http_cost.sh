#!/usr/bin/env bash
# What the remote control costs the ON-AIR service: the process's CPU time (all its threads) per
# second of sound, as a per cent of the time a block lasts, for ON-AIR without --http, with the
# server and no client, and with fifty pages following the live meters (server-sent events) while
# a script reads /metrics once a second. A JACK server on its dummy driver paces the sound. Each
# figure is the median of RUNS runs of SECONDS each.
#   bench/onair_http_cost.sh [BUILD_DIR] [SECONDS] [RUNS]
set -euo pipefail
build="${1:-$(dirname "$0")/../build}"
seconds="${2:-20}"
runs="${3:-5}"
cli="$(cd "$build" && pwd)/src/cli/loudara-cli"
work="$(mktemp -d)"
server="loudara_httpcost_$$"
export JACK_NO_AUDIO_RESERVATION=1 JACK_DEFAULT_SERVER="$server" JACK_NO_START_SERVER=1 HOME="$work"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [ -n "${KEEP_WORK:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT
jackd --no-realtime -n "$server" -d dummy -r 44100 -p 1024 >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 10); do jack_wait -s "$server" -w -t 2 >/dev/null 2>&1 && break; done
jack_simple_client tone >/dev/null 2>&1 &
pids+=($!)
(umask 077 && head -c 24 /dev/urandom | base64 >"$work/token")
token="$(cat "$work/token")"
ticks="$(getconf CLK_TCK)"

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# busy PID: the per cent of real time PID's threads spent on the CPU over $seconds.
busy() {
    local before after
    before="$(cpu_ticks "$1")"
    sleep "$seconds"
    after="$(cpu_ticks "$1")"
    awk -v d="$((after - before))" -v t="$ticks" -v s="$seconds" 'BEGIN { printf "%.3f", 100 * d / t / s }'
}
start_onair() {
    "$cli" onair --device jack --connect-input tone:output1 --connect-input tone:output2 "$@" \
        >/dev/null 2>"$work/onair.log" &
    echo $!
}
# Stops ON-AIR and waits until it has left (its JACK client's name is free again).
stop_onair() {
    kill "$1" 2>/dev/null || true
    while [ -e "/proc/$1" ]; do sleep 0.1; done
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

plain=() idle=() fifty=()
for run in $(seq "$runs"); do
    pid="$(start_onair)"
    sleep 3
    plain+=("$(busy "$pid")")
    stop_onair "$pid"

    port=$((20000 + RANDOM % 20000))
    pid="$(start_onair --http "$port" --http-token-file "$work/token")"
    sleep 3
    idle+=("$(busy "$pid")")
    clients=()
    for _ in $(seq 50); do
        curl -sN -H "Authorization: Bearer $token" "http://127.0.0.1:$port/api/events" >/dev/null 2>&1 &
        clients+=($!)
    done
    ( while :; do curl -s -H "Authorization: Bearer $token" "http://127.0.0.1:$port/metrics" >/dev/null; sleep 1; done ) &
    scraper=$!
    sleep 2
    fifty+=("$(busy "$pid")")
    underflows="$(curl -s -H "Authorization: Bearer $token" "http://127.0.0.1:$port/metrics" | awk '/^loudara_underflows_total/ { print $2 }')"
    kill "$scraper" "${clients[@]}" 2>/dev/null || true
    wait "$scraper" "${clients[@]}" 2>/dev/null || true
    stop_onair "$pid"
    echo "run $run: without --http ${plain[-1]} %, server idle ${idle[-1]} %, fifty pages ${fifty[-1]} % of real time; underflows $underflows"
done
p="$(printf '%s\n' "${plain[@]}" | median)"
i="$(printf '%s\n' "${idle[@]}" | median)"
f="$(printf '%s\n' "${fifty[@]}" | median)"
awk -v p="$p" -v i="$i" -v f="$f" 'BEGIN {
    printf "median CPU per block of sound (4096 frames, 92.9 ms at 44.1 kHz), as a per cent of the block:\n"
    printf "  ON-AIR without --http    %6.2f %%\n", p
    printf "  with the server, idle    %6.2f %%  (ratio %.2f)\n", i, (p > 0 ? i / p : 0)
    printf "  with fifty event clients %6.2f %%  (ratio %.2f; the server adds %.2f %% of a block)\n", f, (p > 0 ? f / p : 0), f - p
}'
