#!/usr/bin/env bash
# Speed of `loudara-cli filter` (a 5-minute 44.1 kHz stereo WAV song through a pipe, as a player
# sends it) against a WAV-to-WAV export of the same song (`process --no-normalize`, the same
# chain with no peak scan): median of 5 runs of each, as multiples of real time, and their ratio.
#   bench/filter_speed.sh [BUILD_DIR]
set -euo pipefail
build="${1:-$(dirname "$0")/../build}"
cli="$build/src/cli/loudara-cli"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
seconds=300
"$build/bench/make_test_song" "$work/song.wav" "$seconds"
median() { sort -n | sed -n 3p; }
export_times=() filter_times=()
for run in 1 2 3 4 5; do
    start=$(date +%s.%N)
    "$cli" process "$work/song.wav" "$work/out.wav" --no-normalize --quiet --force
    export_times+=("$(awk -v a="$(date +%s.%N)" -v b="$start" 'BEGIN { print a - b }')")
    start=$(date +%s.%N)
    cat "$work/song.wav" | "$cli" filter | cat >"$work/filtered.wav"
    filter_times+=("$(awk -v a="$(date +%s.%N)" -v b="$start" 'BEGIN { print a - b }')")
done
e="$(printf '%s\n' "${export_times[@]}" | median)"
f="$(printf '%s\n' "${filter_times[@]}" | median)"
awk -v s="$seconds" -v e="$e" -v f="$f" 'BEGIN {
    printf "export (WAV to WAV): median %.2f s, %.1f x real time\n", e, s / e
    printf "filter (pipe):       median %.2f s, %.1f x real time\n", f, s / f
    printf "filter speed / export speed: %.2f\n", e / f }'
