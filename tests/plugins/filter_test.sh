#!/usr/bin/env bash
# loudara-cli filter as pipes use it: the samples of `process --no-normalize`, output that starts
# while the writer still holds the pipe open, raw PCM, a reader that goes away, bad input.
#   filter_test.sh PATH_TO_LOUDARA_CLI PATH_TO_WAV_COMPARE [ENDLESS_SECONDS]
# With ENDLESS_SECONDS it runs only the endless-input check: an unending raw stream for that long,
# the filter's resident memory sampled along the way must stay flat.
set -u
source "$(dirname "$0")/../wav_bytes.sh"
cli="$1"
compare="$2"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
command -v ffmpeg >/dev/null || { echo "FAIL ffmpeg is not installed (Debian package ffmpeg)"; exit 1; }
export TMPDIR="$work" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"

rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$1/status" 2>/dev/null; }

if [ $# -ge 3 ]; then
    # Music-like raw sound repeated for ever: the filter holds fixed buffers whatever it has run.
    ffmpeg -loglevel error -f lavfi -i "sine=frequency=110:duration=20,volume=0.5" -f lavfi \
        -i "anoisesrc=d=20:a=0.2:c=pink" -filter_complex "[0][1]amerge=inputs=2" -ar 48000 -f s16le "$work/loop.raw"
    mkfifo "$work/endless"
    (while cat "$work/loop.raw"; do :; done) >"$work/endless" 2>/dev/null &
    "$cli" filter --preset 340 --raw s16le:48000:2 <"$work/endless" >/dev/null &
    pid=$!
    sleep 5
    first="$(rss_kib "$pid")"
    most="$first"
    for ((t = 5; t < $3; t += 5)); do
        sleep 5
        now="$(rss_kib "$pid")"
        [ -n "$now" ] || { fail "the filter stopped after $t s"; break; }
        [ "$now" -gt "$most" ] && most="$now"
    done
    echo "endless input: resident memory $first KiB after 5 s, at most $most KiB over $3 s"
    [ -n "$first" ] && [ $((most - first)) -le 256 ] || fail "memory grew from $first KiB to $most KiB"
    exit $((failures > 0))
fi

check() {  # check NAME EXPECTED_STATUS EXPECTED_STDERR_TEXT -- command...
    local name="$1" want="$2" text="$3"
    shift 4
    "$@" >"$work/stdout" 2>"$work/stderr"
    local got=$?
    if [ "$got" -ne "$want" ] || ! grep -q -- "$text" "$work/stderr"; then
        fail "$name: status $got (want $want), stderr:"
        cat "$work/stderr"
    fi
}
same() {  # same NAME EXPECTED GOT [compare options]: identical 16-bit samples, as long
    local name="$1"
    shift
    "$compare" "$@" >"$work/compared" || { fail "$name: $(cat "$work/compared")"; return; }
}

# Songs: a tone with pink noise, stereo at 44.1 kHz and mono at 48 kHz, and a float copy.
ffmpeg -loglevel error -f lavfi -i "sine=frequency=220:duration=6,volume=0.4" -f lavfi \
    -i "anoisesrc=d=6:a=0.15:c=pink" -filter_complex "[0][1]amerge=inputs=2" -ar 44100 -c:a pcm_s16le \
    -bitexact "$work/song.wav"
ffmpeg -loglevel error -i "$work/song.wav" -ac 1 -ar 48000 -c:a pcm_s16le -bitexact "$work/mono.wav"
ffmpeg -loglevel error -i "$work/song.wav" -c:a pcm_f32le -bitexact "$work/float.wav"
data=$((6 * 44100 * 4))

# The samples of process --no-normalize, with a preset and single parameters, as long as the input.
"$cli" process "$work/song.wav" "$work/ref.wav" --no-normalize --preset 338 --set 'driveDb[2]=20' -q
"$cli" filter --preset 338 --set 'driveDb[2]=20' <"$work/song.wav" >"$work/f.wav" || fail "filter of a WAV file"
same "filter against process" "$work/ref.wav" "$work/f.wav"
[ "$(stat -c %s "$work/f.wav")" -eq $((44 + data)) ] || fail "filter output is $(stat -c %s "$work/f.wav") bytes"
"$cli" process "$work/mono.wav" "$work/mono-ref.wav" --no-normalize -q
"$cli" filter <"$work/mono.wav" >"$work/mono-f.wav"
cmp -s <(tail -c $((6 * 48000 * 2)) "$work/mono-ref.wav") <(tail -c +45 "$work/mono-f.wav") ||
    fail "mono filter differs from process"

# Streaming writers: ffmpeg's pipe header (sizes it cannot know), and sizes of 0.
ffmpeg -loglevel error -i "$work/song.wav" -c:a pcm_s16le -f wav - | "$cli" filter --preset 338 --set 'driveDb[2]=20' \
    >"$work/piped.wav" || fail "filter of ffmpeg's stream"
same "ffmpeg stream" "$work/ref.wav" "$work/piped.wav"
# Into a file, a stream of unknown length gets its true sizes at the end.
[ "$(od -An -tu4 -j40 -N4 "$work/piped.wav" | tr -d ' ')" -eq "$data" ] &&
    [ "$(od -An -tu4 -j4 -N4 "$work/piped.wav" | tr -d ' ')" -eq $((data + 36)) ] || fail "sizes of a filed stream"
{ head -c 4 "$work/f.wav"; le32 0; head -c 40 "$work/f.wav" | tail -c 32; le32 0; tail -c "$data" "$work/song.wav"; } \
    >"$work/zero-sizes.wav"
"$cli" filter --preset 338 --set 'driveDb[2]=20' <"$work/zero-sizes.wav" >"$work/zero.wav"
same "stream with sizes 0" "$work/ref.wav" "$work/zero.wav"

# Raw forms: the same samples without the header; floats through the float entry.
tail -c "$data" "$work/song.wav" >"$work/song.raw"
"$cli" filter --preset 338 --set 'driveDb[2]=20' --raw s16le:44100:2 <"$work/song.raw" >"$work/out.raw"
cmp -s "$work/out.raw" <(tail -c "$data" "$work/f.wav") || fail "raw s16le differs from the WAV filter"
"$cli" filter --preset 338 <"$work/float.wav" >"$work/float-out.wav" || fail "filter of a float WAV"
[ "$(od -An -tu2 -j20 -N2 "$work/float-out.wav" | tr -d ' ')" = 3 ] || fail "float WAV output is not float"
tail -c $((2 * data)) "$work/float.wav" | "$cli" filter --preset 338 --raw f32le:44100:2 >"$work/float-out.raw"
cmp -s "$work/float-out.raw" <(tail -c $((2 * data)) "$work/float-out.wav") || fail "raw f32le differs from float WAV"
"$cli" process "$work/song.wav" "$work/ref338.wav" --no-normalize --preset 338 -q
ffmpeg -loglevel error -i "$work/float-out.wav" -c:a pcm_s16le "$work/float-16.wav"
same "float stream within one step" "$work/ref338.wav" "$work/float-16.wav" --tolerance 1

# Output before the input ends: the writer keeps the pipe open after 12000 frames, and every one
# of them but the chain's delay (974 frames with the default preset) comes out meanwhile.
mkfifo "$work/in.fifo"
"$cli" filter <"$work/in.fifo" >"$work/early.wav" &
filter=$!
exec 3>"$work/in.fifo"
head -c $((44 + 12000 * 4)) "$work/song.wav" >&3
want=$((44 + (12000 - 974) * 4))
for ((i = 0; i < 100; i++)); do
    [ "$(stat -c %s "$work/early.wav")" -ge "$want" ] && break
    sleep 0.1
done
early="$(stat -c %s "$work/early.wav")"
exec 3>&-
wait "$filter"
[ "$early" -eq "$want" ] || fail "$early bytes out while the writer held the pipe open (want $want)"
[ "$(stat -c %s "$work/early.wav")" -eq $((44 + 12000 * 4)) ] || fail "early output ends at $(stat -c %s "$work/early.wav") bytes"

# A reader that goes away ends the filter quietly with status 0.
ffmpeg -loglevel error -f lavfi -i "anoisesrc=d=60:a=0.2" -ac 2 -ar 44100 -c:a pcm_s16le "$work/long.wav"
"$cli" filter <"$work/long.wav" 2>"$work/stderr" | head -c 10000 >/dev/null
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] && ! [ -s "$work/stderr" ] || fail "reader gone: status $status, $(cat "$work/stderr")"

# Bad input: a reason and status 1; bad options: status 2.
check "not WAV" 1 "standard input is not a WAV stream" -- "$cli" filter <"$0"
check "empty input" 1 "standard input is empty" -- "$cli" filter </dev/null
wave 2 44100 24 1 >"$work/24.wav"
check "24-bit" 1 "the filter takes 16-bit PCM or 32-bit float WAV" -- "$cli" filter <"$work/24.wav"
wave 2 22050 16 1 >"$work/22k.wav"
check "22050 Hz" 1 "standard input: 16-bit PCM, 2 channels at 22050 Hz: Loudara runs at 32000, 44100 or 48000 Hz" \
    -- "$cli" filter <"$work/22k.wav"
wave 6 44100 16 1 >"$work/six.wav"
check "six channels" 1 "Loudara takes mono or stereo" -- "$cli" filter <"$work/six.wav"
head -c 36 "$work/song.wav" >"$work/cut.wav"
check "header cut short" 1 "ends before its sound" -- "$cli" filter <"$work/cut.wav"
check "bad raw form" 2 "--raw needs s16le or f32le" -- "$cli" filter --raw s24le:44100:2
check "raw rate" 2 "Loudara runs at 32000, 44100 or 48000 Hz" -- "$cli" filter --raw s16le:96000:2
check "unknown preset" 2 "unknown preset '7'" -- "$cli" filter --preset 7
check "unknown parameter" 2 "unknown parameter 'nosuch'" -- "$cli" filter --set nosuch=1
check "missing parameter file" 1 "nothere.ld3" -- "$cli" filter --params "$work/nothere.ld3"

[ "$failures" -eq 0 ] && echo "filter: all checks passed"
exit $((failures > 0))
