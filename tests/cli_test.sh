#!/usr/bin/env bash
# loudara-cli as a script would use it: exit statuses, one-line reasons, files written.
#   cli_test.sh PATH_TO_LOUDARA_CLI
set -u
cli="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

check() {  # check NAME EXPECTED_STATUS EXPECTED_STDERR_TEXT -- command...
    local name="$1" want="$2" text="$3"
    shift 4
    "$@" >"$work/stdout" 2>"$work/stderr"
    local got=$?
    if [ "$got" -ne "$want" ] || ! grep -q -- "$text" "$work/stderr" "$work/stdout"; then
        echo "FAIL $name: status $got (want $want), output:"
        cat "$work/stdout" "$work/stderr"
        failures=$((failures + 1))
    fi
}

# A 3-second 44.1 kHz stereo WAV of noise: the 44-byte header, then the samples.
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))\\x$(printf %02x $((($1 >> 16) & 255)))\\x$(printf %02x $((($1 >> 24) & 255)))"; }
data=$((3 * 44100 * 4))
{
    printf 'RIFF'; le32 $((data + 36)); printf 'WAVEfmt '; le32 16
    printf '\x01\x00\x02\x00'; le32 44100; le32 $((44100 * 4)); printf '\x04\x00\x10\x00'
    printf 'data'; le32 "$data"
    head -c "$data" /dev/urandom
} >"$work/song.wav"

check "probe" 0 "Ok	44100	2	$data	00:03" -- "$cli" probe "$work/song.wav"
check "probe of a non-WAV file" 1 "Unreadable" -- "$cli" probe "$0"
check "process" 0 "wrote" -- "$cli" process "$work/song.wav" "$work/out.mp3.wav" --preset 343 --set 'driveDb[2]=18' --set preEmphasis=0
[ "$(stat -c %s "$work/out.mp3.wav")" -eq "$(stat -c %s "$work/song.wav")" ] || { echo "FAIL output size"; failures=$((failures + 1)); }
check "unknown parameter" 2 "unknown parameter 'nosuch'" -- "$cli" process "$work/song.wav" "$work/x.wav" --set nosuch=1
check "band out of range" 2 "band index" -- "$cli" process "$work/song.wav" "$work/x.wav" --set 'driveDb[6]=1'
check "value out of range" 2 "must be 0 to 24" -- "$cli" process "$work/song.wav" "$work/x.wav" --set 'depthDb[0]=25'
check "not a number" 2 "NAME=VALUE" -- "$cli" process "$work/song.wav" "$work/x.wav" --set preEmphasis=high
check "unknown preset" 2 "unknown preset" -- "$cli" process "$work/song.wav" "$work/x.wav" --preset 7
check "unreadable input" 1 "cannot read" -- "$cli" process "$work/nothere.wav" "$work/x.wav"
check "target is the song" 1 "song.s own file" -- "$cli" process "$work/song.wav" "$work/song.wav"
check "unwritable target" 1 "cannot write" -- "$cli" process "$work/song.wav" "$work/no/such/folder/x.wav"
check "MP3 output" 2 "MP3 output" -- "$cli" process "$work/song.wav" "$work/x.mp3"
check "peak" 0 "song.wav	" -- "$cli" peak "$work/song.wav"
check "unknown command" 2 "unknown command" -- "$cli" nosuch
# Ctrl-C cancels: the part processed so far is delivered as a valid WAV file.
long=$((60 * 44100 * 4))
{ head -c 40 "$work/song.wav"; le32 "$long"; head -c "$long" /dev/urandom; } >"$work/long.wav"
printf 'RIFF' | dd of="$work/long.wav" bs=1 count=4 conv=notrunc 2>/dev/null
"$cli" process "$work/long.wav" "$work/part.wav" --throttle 40 --quiet 2>"$work/stderr" &
pid=$!
sleep 1
kill -INT "$pid"
wait "$pid"
status=$?
if [ "$status" -ne 130 ] || ! grep -q "cancelled" "$work/stderr" || ! "$cli" probe "$work/part.wav" | grep -q "	Ok	"; then
    echo "FAIL cancel: status $status"; cat "$work/stderr"; failures=$((failures + 1))
fi

[ -z "$(ls "$work" | grep -F '$$temp_ldr')" ] || { echo "FAIL temporary files left"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ] && echo "all loudara-cli checks passed"
exit "$failures"
