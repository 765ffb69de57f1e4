#!/usr/bin/env bash
# Export speed: real-time factor of `loudara-cli process` (the whole process) on a 5-minute
# 44.1 kHz stereo WAV song, median of 5 runs, and the process's peak resident memory.
#   bench/export_speed.sh [BUILD_DIR]
set -euo pipefail
build="${1:-$(dirname "$0")/../build}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
seconds=300
"$build/bench/make_test_song" "$work/song.wav" "$seconds"
times=()
for run in 1 2 3 4 5; do
    /usr/bin/time -f "%e %M" -o "$work/time" "$build/src/cli/loudara-cli" process "$work/song.wav" "$work/out.wav" --quiet
    times+=("$(cat "$work/time")")
done
printf '%s\n' "${times[@]}" | sort -n | awk -v s="$seconds" '
    { t[NR] = $1; if ($2 > rss) rss = $2 }
    END { m = t[3]; printf "median %.2f s for %d s of sound: %.1f x real time; peak resident %.1f MiB\n", m, s, s / m, rss / 1024 }'
