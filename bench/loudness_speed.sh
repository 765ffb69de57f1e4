#!/usr/bin/env bash
# Loudness speed on a 5-minute 44.1 kHz stereo song: `loudara-cli loudness` on the WAV and on its
# MP3, and `loudara-cli process` to WAV and to MP3 plain (quiet, and with its closing loudness line),
# with --report and with a loudness target.
# Median of 5 runs of each, as a multiple of real time, by processor time (user + system: other
# work on a shared machine does not count) and by the clock. Last, what the closing line's
# measurement costs: processor time of `process` over that of `process --quiet`, the two run in
# turns so that a change in the machine's load falls on both alike.
#   bench/loudness_speed.sh [BUILD_DIR] [BASELINE_CLI]
# BASELINE_CLI, a loudara-cli built without the export's measurement, adds its plain exports.
set -euo pipefail
build="${1:-$(dirname "$0")/../build}"
baseline="${2:-}"
cli="$build/src/cli/loudara-cli"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
seconds=300
"$build/bench/make_test_song" "$work/song.wav" "$seconds"
"$cli" process "$work/song.wav" "$work/song.mp3" --quiet

run() {  # run NAME command...
    local name="$1"
    shift
    : > "$work/times"
    for _ in 1 2 3 4 5; do
        rm -f "$work/o.wav" "$work/o.mp3"
        if ! /usr/bin/time -f "%e %U %S" -o "$work/time" "$@" > "$work/log" 2>&1; then
            echo "$name: failed: $(tail -1 "$work/log")"
            return
        fi
        cat "$work/time" >> "$work/times"
    done
    local wall cpu
    wall=$(awk '{ print $1 }' "$work/times" | sort -n | sed -n 3p)
    cpu=$(awk '{ print $2 + $3 }' "$work/times" | sort -n | sed -n 3p)
    awk -v s="$seconds" -v name="$name" -v wall="$wall" -v cpu="$cpu" \
        'BEGIN { printf "%-34s %7.1f x real time (processor), %7.1f x (clock)\n", name, s / cpu, s / wall }'
}

run "loudness WAV" "$cli" loudness "$work/song.wav"
run "loudness MP3" "$cli" loudness "$work/song.mp3"
if [ -n "$baseline" ]; then
    run "process WAV (no measurement)" "$baseline" process "$work/song.wav" "$work/o.wav" --quiet
    run "process MP3 (no measurement)" "$baseline" process "$work/song.wav" "$work/o.mp3" --quiet
fi
run "process WAV" "$cli" process "$work/song.wav" "$work/o.wav" --quiet
run "process WAV (closing line)" "$cli" process "$work/song.wav" "$work/o.wav"
run "process WAV --report" "$cli" process "$work/song.wav" "$work/o.wav" --quiet --report "$work/r.json"
run "process WAV --loudness-target -14" "$cli" process "$work/song.wav" "$work/o.wav" --quiet --loudness-target -14
run "process MP3" "$cli" process "$work/song.wav" "$work/o.mp3" --quiet
run "process MP3 --report" "$cli" process "$work/song.wav" "$work/o.mp3" --quiet --report "$work/r.json"
run "process MP3 --loudness-target -14" "$cli" process "$work/song.wav" "$work/o.mp3" --quiet --loudness-target -14

: > "$work/quiet"
: > "$work/closing"
for _ in 1 2 3 4 5; do
    for kind in quiet closing; do
        rm -f "$work/o.wav"
        flag=--quiet
        [ "$kind" = closing ] && flag=
        /usr/bin/time -f "%U %S" -o "$work/time" "$cli" process "$work/song.wav" "$work/o.wav" $flag > /dev/null 2>&1
        awk '{ print $1 + $2 }' "$work/time" >> "$work/$kind"
    done
done
quietCpu=$(sort -n "$work/quiet" | sed -n 3p)
closingCpu=$(sort -n "$work/closing" | sed -n 3p)
awk -v q="$quietCpu" -v c="$closingCpu" \
    'BEGIN { if (q > 0) printf "%-34s %7.3f (processor time, closing line / quiet, in turns)\n", "closing line costs", c / q }'
