#!/usr/bin/env bash
# Throughput on 5-minute 44.1 kHz stereo songs, each ratio the median of 5 side-by-side pairs:
#   MP3 to MP3 and WAV to MP3 at 192 kbit/s against `lame -b 192` encoding the same song as a WAV;
#   WAV to WAV against bare processBlock (loudara_bench, default preset);
#   a batch of 8 songs with -j 2 against -j 1; peak resident memory of one job, WAV and MP3;
#   FLAC to FLAC against WAV to WAV, and a 96 kHz 24-bit song against the same at 48 kHz.
# The two sides of a pair run one right after the other, so a shared machine whose speed drifts
# between runs moves both alike; the times shown are the medians of each side. The comparison
# with processBlock is by processor time, the benchmark's own measure.
# The single songs run with --quiet, so no loudness is measured; the line "with loudness" is the
# same MP3 export measuring its input, output and decoded MP3, as a run that shows them does.
#   bench/throughput.sh [BUILD_DIR]     (needs lame; run it on an otherwise quiet machine)
#   LOUDARA_BENCH_SECONDS=60 bench/throughput.sh    (shorter songs)
#   LOUDARA_BENCH_ONLY=formats bench/throughput.sh  (only the FLAC and 96 kHz pairs)
set -euo pipefail
build="${1:-$(dirname "$0")/../build}"
cli="$build/src/cli/loudara-cli"
command -v lame >/dev/null || { echo "throughput.sh needs lame (apt-get install lame)" >&2; exit 2; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
seconds="${LOUDARA_BENCH_SECONDS:-300}"
runs=5
"$build/bench/make_test_song" "$work/song.wav" "$seconds"
lame --quiet -b 192 "$work/song.wav" "$work/song.mp3"

timed() {  # timed FILE command...: appends "seconds resident-KiB processor-seconds" of one run to FILE
    local file="$1"
    shift
    /usr/bin/time -f "%e %M %U %S" -o "$work/one" "$@" >/dev/null 2>&1
    awk '{ print $1, $2, $3 + $4 }' "$work/one" >>"$file"
}
bare_x() {  # real-time factor of bare processBlock, one measurement
    local x
    x="$("$build/bench/loudara_bench" --benchmark_filter=BM_ProcessBlockDefault 2>/dev/null |
        awk '/BM_ProcessBlockDefault/ { for (i = 1; i <= NF; i++) if ($i ~ /x_realtime=/) { sub(/x_realtime=/, "", $i); print $i } }')"
    x="${x%x}"
    case "$x" in *k) x="$(awk -v v="${x%k}" 'BEGIN { print v * 1000 }')" ;; esac
    echo "$x"
}
median_of() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
largest_rss() { awk '{ if ($2 > m) m = $2 } END { print m }' "$1"; }

# pair NAME REFERENCE_COMMAND... -- COMMAND...: 5 pairs; leaves NAME.ref, NAME.run (times) and
# NAME.ratio (reference time / run time of each pair) in $work.
pair() {
    local name="$1" ref=() run=()
    shift
    while [ "$1" != "--" ]; do ref+=("$1"); shift; done
    shift
    run=("$@")
    : >"$work/$name.ref"; : >"$work/$name.run"; : >"$work/$name.ratio"
    for ((i = 0; i < runs; i++)); do
        timed "$work/$name.ref" "${ref[@]}"
        timed "$work/$name.run" "${run[@]}"
        paste -d' ' <(tail -1 "$work/$name.ref") <(tail -1 "$work/$name.run") |
            awk '{ print $1 / $4 }' >>"$work/$name.ratio"
    done
}
# line TEXT NAME SECONDS_OF_SOUND REFERENCE_TEXT
line() {
    local t r ratio
    t="$(median_of <"$work/$2.run")"
    r="$(median_of <"$work/$2.ref")"
    ratio="$(median_of <"$work/$2.ratio")"
    awk -v n="$1" -v s="$3" -v t="$t" -v r="$r" -v q="$ratio" -v rn="$4" 'BEGIN {
        printf "%-22s %6.2f s  %6.1f x real time  %.2f of %s (%.1f x)\n", n, t, s / t, q, rn, s / r }'
}

# line2 TEXT NAME REFERENCE_TEXT: a pair's ratio by clock time and by processor time.
line2() {
    paste -d' ' "$work/$2.ref" "$work/$2.run" | awk '{ print $3 / $6 }' >"$work/$2.cpu"
    awk -v n="$1" -v s="$seconds" -v t="$(median_of <"$work/$2.run")" -v q="$(median_of <"$work/$2.ratio")" \
        -v c="$(median_of <"$work/$2.cpu")" -v rn="$3" 'BEGIN {
        printf "%-22s %6.2f s  %6.1f x real time  %.2f of %s by clock time, %.2f by processor time\n", n, t, s / t, q, rn, c }'
}

# FLAC songs are FLAC of the test song; the 96 and 48 kHz songs are 24-bit WAVs of it resampled.
"$cli" process "$work/song.wav" "$work/song.flac" --no-normalize --quiet
"$cli" process "$work/song.wav" "$work/song96.wav" --rate 96000 --bits 24 --no-normalize --quiet
"$cli" process "$work/song.wav" "$work/song48.wav" --rate 48000 --bits 24 --no-normalize --quiet
pair flac "$cli" process "$work/song.wav" "$work/f.wav" --quiet --force -- \
    "$cli" process "$work/song.flac" "$work/f.flac" --quiet --force
pair rate96 "$cli" process "$work/song48.wav" "$work/r48.wav" --quiet --force -- \
    "$cli" process "$work/song96.wav" "$work/r96.wav" --quiet --force
echo "other formats ($seconds s), each ratio the median of $runs side-by-side pairs:"
line2 "FLAC to FLAC" flac "WAV to WAV"
# Here the reference is the 96 kHz song: the ratio is what the 96 kHz song costs per 48 kHz one.
paste -d' ' "$work/rate96.ref" "$work/rate96.run" | awk '{ print $4 / $1 }' >"$work/rate96.ratio"
paste -d' ' "$work/rate96.ref" "$work/rate96.run" | awk '{ print $6 / $3 }' >"$work/rate96.cpux"
awk -v q="$(median_of <"$work/rate96.ratio")" -v c="$(median_of <"$work/rate96.cpux")" 'BEGIN {
    printf "96 kHz 24-bit song      costs %.2f times the 48 kHz one by clock time, %.2f by processor time\n", q, c }'
[ "${LOUDARA_BENCH_ONLY:-}" = formats ] && exit 0

lame_cmd=(lame --quiet -b 192 "$work/song.wav" "$work/lame.mp3")
pair mp3 "${lame_cmd[@]}" -- "$cli" process "$work/song.mp3" "$work/out.mp3" --bitrate 192 --quiet --force
pair mp3n "${lame_cmd[@]}" -- "$cli" process "$work/song.mp3" "$work/outn.mp3" --bitrate 192 --no-normalize --quiet --force
pair mp3l "${lame_cmd[@]}" -- "$cli" process "$work/song.mp3" "$work/outl.mp3" --bitrate 192 --force
pair wavmp3 "${lame_cmd[@]}" -- "$cli" process "$work/song.wav" "$work/out2.mp3" --bitrate 192 --quiet --force

# WAV to WAV against processBlock: the benchmark gives a real-time factor per second of processor
# time, so the pair's ratio is the export's factor per second of its processor time (user and
# system) over the benchmark's. On a virtual machine whose cores are also lent elsewhere, clock
# time grows with what the neighbours take; processor time does not.
: >"$work/wav.run"; : >"$work/wav.bare"; : >"$work/wav.ratio"
for ((i = 0; i < runs; i++)); do
    x="$(bare_x)"
    echo "$x" >>"$work/wav.bare"
    timed "$work/wav.run" "$cli" process "$work/song.wav" "$work/out.wav" --quiet --force
    tail -1 "$work/wav.run" | awk -v x="$x" -v s="$seconds" '{ print (s / $3) / x }' >>"$work/wav.ratio"
done

echo "one song ($seconds s), each ratio the median of $runs side-by-side pairs:"
line "MP3 to MP3, 192k" mp3 "$seconds" "lame -b 192"
line "  without normalising" mp3n "$seconds" "lame -b 192"
line "  with loudness" mp3l "$seconds" "lame -b 192"
line "WAV to MP3, 192k" wavmp3 "$seconds" "lame -b 192"
awk -v s="$seconds" -v t="$(median_of <"$work/wav.run")" -v c="$(awk '{ print $3 }' "$work/wav.run" | median_of)" \
    -v q="$(median_of <"$work/wav.ratio")" -v b="$(median_of <"$work/wav.bare")" 'BEGIN {
    printf "%-22s %6.2f s  %6.1f x real time; by processor time (%.2f s) %.2f of bare processBlock (%.1f x)\n",
        "WAV to WAV", t, s / t, c, q, b }'
echo "peak resident memory of one job: WAV to WAV $(($(largest_rss "$work/wav.run") / 1024)) MiB," \
    "MP3 to MP3 $(($(largest_rss "$work/mp3.run") / 1024)) MiB"

mkdir -p "$work/lib"
for n in 1 2 3 4 5 6 7 8; do "$build/bench/make_test_song" "$work/lib/s$n.wav" $((seconds / 5)); done
# WAV outputs: each job runs on one thread. MP3 outputs: each job already encodes on a second one.
for format in wav mp3; do
    batch=("$cli" process "$work/lib" --format "$format" --quiet --force)
    pair "batch$format" "${batch[@]}" --output-dir "$work/b${format}1" -j 1 -- \
        "${batch[@]}" --output-dir "$work/b${format}2" -j 2
    awk -v f="$format" -v s=$((8 * (seconds / 5))) -v a="$(median_of <"$work/batch$format.ref")" \
        -v b="$(median_of <"$work/batch$format.run")" -v q="$(median_of <"$work/batch$format.ratio")" 'BEGIN {
        printf "batch of 8 to %s: -j 1 %.2f s (%.1f x real time), -j 2 %.2f s (%.1f x); -j 2 throughput %.2f x that of -j 1\n",
            f, a, s / a, b, s / b, q }'
done
