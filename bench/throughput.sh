#!/usr/bin/env bash
# Throughput, each figure a median of 5 runs on 5-minute 44.1 kHz stereo songs, ratios side by side:
#   MP3 to MP3 and WAV to MP3 at 192 kbit/s against `lame -b 192` encoding the same song as a WAV;
#   WAV to WAV against bare processBlock (loudara_bench, default preset);
#   a batch of 8 songs with -j 1 and -j 2; peak resident memory of one job, WAV and MP3.
# The single songs run with --quiet, so no loudness is measured; the line "with loudness" is the
# same MP3 export measuring its input, output and decoded MP3, as a run that shows them does.
#   bench/throughput.sh [BUILD_DIR]     (needs lame; run it on an otherwise quiet machine)
set -euo pipefail
build="${1:-$(dirname "$0")/../build}"
cli="$build/src/cli/loudara-cli"
command -v lame >/dev/null || { echo "throughput.sh needs lame (apt-get install lame)" >&2; exit 2; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
seconds="${LOUDARA_BENCH_SECONDS:-300}"
"$build/bench/make_test_song" "$work/song.wav" "$seconds"
lame --quiet -b 192 "$work/song.wav" "$work/song.mp3"

median() {  # median NAME command...: seconds, and the largest resident size in KiB, of 5 runs
    shift
    : >"$work/times"
    for run in 1 2 3 4 5; do /usr/bin/time -f "%e %M" -a -o "$work/times" "$@" >/dev/null 2>&1; done
    sort -n "$work/times" | awk 'NR == 3 { t = $1 } { if ($2 > m) m = $2 } END { print t, m }'
}
report() {  # report NAME SECONDS_OF_SOUND MEDIAN [REFERENCE_MEDIAN]
    awk -v n="$1" -v s="$2" -v t="$3" -v r="${4:-}" 'BEGIN {
        printf "%-22s %6.2f s  %6.1f x real time", n, t, s / t
        if (r != "") printf "  %.2f of the reference", r / t
        printf "\n" }'
}

read -r lame_t _ < <(median lame lame --quiet -b 192 "$work/song.wav" "$work/lame.mp3")
read -r mp3mp3_t mp3_rss < <(median mp3 "$cli" process "$work/song.mp3" "$work/out.mp3" --bitrate 192 --quiet --force)
read -r mp3mp3n_t _ < <(median mp3n "$cli" process "$work/song.mp3" "$work/outn.mp3" --bitrate 192 --no-normalize --quiet --force)
read -r mp3loud_t _ < <(median mp3l "$cli" process "$work/song.mp3" "$work/outl.mp3" --bitrate 192 --force)
read -r wavmp3_t _ < <(median wavmp3 "$cli" process "$work/song.wav" "$work/out2.mp3" --bitrate 192 --quiet --force)
read -r wavwav_t wav_rss < <(median wavwav "$cli" process "$work/song.wav" "$work/out.wav" --quiet --force)
bare_x="$("$build/bench/loudara_bench" --benchmark_filter=BM_ProcessBlockDefault --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true 2>/dev/null | awk '/_median/ { for (i = 1; i <= NF; i++) if ($i ~ /x_realtime=/) { sub(/x_realtime=/, "", $i); print $i } }')"
bare_x="${bare_x%x}"
case "$bare_x" in *k) bare_x="$(awk -v v="${bare_x%k}" 'BEGIN { print v * 1000 }')" ;; esac

echo "one song ($seconds s):"
report "lame -b 192 (WAV)" "$seconds" "$lame_t"
report "MP3 to MP3, 192k" "$seconds" "$mp3mp3_t" "$lame_t"
report "  without normalising" "$seconds" "$mp3mp3n_t" "$lame_t"
report "  with loudness" "$seconds" "$mp3loud_t" "$lame_t"
report "WAV to MP3, 192k" "$seconds" "$wavmp3_t" "$lame_t"
awk -v s="$seconds" -v t="$wavwav_t" -v b="$bare_x" 'BEGIN {
    printf "%-22s %6.2f s  %6.1f x real time  %.2f of bare processBlock (%.1f x)\n", "WAV to WAV", t, s / t, (s / t) / b, b }'
echo "peak resident memory of one job: WAV to WAV $((wav_rss / 1024)) MiB, MP3 to MP3 $((mp3_rss / 1024)) MiB"

mkdir -p "$work/lib"
for n in 1 2 3 4 5 6 7 8; do "$build/bench/make_test_song" "$work/lib/s$n.wav" $((seconds / 5)); done
# WAV outputs: each job runs on one thread. MP3 outputs: each job already encodes on a second one.
for format in wav mp3; do
    for jobs in 1 2; do
        read -r t rss < <(median "j$jobs" "$cli" process "$work/lib" --output-dir "$work/b$format$jobs" --format "$format" \
            -j "$jobs" --quiet --force)
        eval "batch_$jobs=$t"
        report "batch of 8 to $format, -j $jobs" $((8 * (seconds / 5))) "$t"
    done
    awk -v a="$batch_1" -v b="$batch_2" -v f="$format" 'BEGIN { printf "  -j 2 throughput to %s: %.2f x that of -j 1\n", f, a / b }'
done
