#!/usr/bin/env bash
# MP3 speed: real-time factors on a 5-minute 44.1 kHz stereo song, median of 3 runs each, of
#   decode   the MP3 song into a WAV file (DecodeMp3ToWav)
#   process  the WAV song through the chain into a WAV file (loudara-cli process, WAV to WAV)
#   encode   the WAV song into an MP3 file at 128 kbit/s (the built-in encoder)
#   export   the whole MP3-to-MP3 export (loudara-cli process: copy, decode, peak scan, chain, encode)
#   bench/mp3_speed.sh [BUILD_DIR]
set -euo pipefail
build="${1:-$(dirname "$0")/../build}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
seconds=300
"$build/bench/make_test_song" "$work/song.wav" "$seconds"
"$build/bench/mp3_tool" encode "$work/song.wav" 128  # the MP3 song: song.mp3

measure() {  # measure NAME command...: the median time of 3 runs
    local name="$1"
    shift
    : >"$work/times"
    for run in 1 2 3; do
        /usr/bin/time -f "%e" -a -o "$work/times" "$@" >/dev/null
    done
    sort -n "$work/times" | awk -v s="$seconds" -v n="$name" 'NR == 2 { printf "%-8s median %6.2f s for %d s of sound: %6.1f x real time\n", n, $1, s, s / $1 }'
}

measure decode "$build/bench/mp3_tool" decode "$work/song.mp3" "$work/decoded.wav"
measure process "$build/src/cli/loudara-cli" process "$work/song.wav" "$work/processed.wav" --quiet
cp "$work/song.wav" "$work/encode.wav"
measure encode "$build/bench/mp3_tool" encode "$work/encode.wav" 128
measure export "$build/src/cli/loudara-cli" process "$work/song.mp3" "$work/exported.mp3" --quiet
