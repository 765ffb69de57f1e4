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

# MP3 out and in.
check "MP3 output" 0 "wrote" -- "$cli" process "$work/song.wav" "$work/song.mp3"
[ -f "$work/song.mp3" ] && ! [ -f "$work/song.mp3.wav" ] || { echo "FAIL MP3 output name"; failures=$((failures + 1)); }
check "probe of an MP3" 0 "song.mp3	MP3	Ok	44100	2	" -- "$cli" probe "$work/song.mp3"
byte() { od -An -tu1 -j"$2" -N1 "$1" | tr -d ' '; }
[ $(($(byte "$work/song.mp3" 2) >> 4)) -eq 9 ] || { echo "FAIL default bit rate is not 128"; failures=$((failures + 1)); }
check "bit rate 100 becomes 112" 0 "wrote" -- "$cli" process "$work/song.wav" "$work/b112.wav" --format mp3 --bitrate 100
[ -f "$work/b112.mp3" ] && [ $(($(byte "$work/b112.mp3" 2) >> 4)) -eq 8 ] || { echo "FAIL --bitrate 100"; failures=$((failures + 1)); }
mp3bytes="$("$cli" probe "$work/song.mp3" | cut -f6)"
check "MP3 song to WAV" 0 "wrote" -- "$cli" process "$work/song.mp3" "$work/back.wav"
check "decoded length" 0 "back.wav	WAV	Ok	44100	2	$mp3bytes	00:03" -- "$cli" probe "$work/back.wav"
check "WAV format asked for" 0 "wrote" -- "$cli" process "$work/song.mp3" "$work/fmt.mp3" --format wav
[ -f "$work/fmt.wav" ] || { echo "FAIL --format wav"; failures=$((failures + 1)); }

# Loudness: the export's report and closing line agree with a separate measurement of the file.
check "closing line" 0 "wrote .*/loud.mp3: .* LUFS, true peak .* dBTP (decoded MP3)" -- "$cli" process "$work/song.wav" "$work/loud.mp3" --report "$work/loud.json"
"$cli" loudness --json "$work/loud.mp3" >"$work/measured.json"
figures() { grep -E '"(integratedLufs|loudnessRangeLu|truePeakDbtp)"' "$1" | tr -d ' ,'; }
[ "$(figures "$work/measured.json")" = "$(sed -n '/"afterCodec"/,/}/p' "$work/loud.json" | figures /dev/stdin)" ] ||
    { echo "FAIL report and loudness disagree"; cat "$work/loud.json" "$work/measured.json"; failures=$((failures + 1)); }
check "loudness line" 0 "loud.mp3	I -[0-9.]* LUFS	LRA [0-9.]* LU	M .*TP -[0-9.]* dBTP" -- "$cli" loudness "$work/loud.mp3"
check "loudness of an unreadable file" 1 '"error"' -- "$cli" loudness --json "$work/song.wav" "$0"
check "target" 0 "gain -[0-9.]* dB (target)" -- "$cli" process "$work/song.wav" "$work/t.wav" --loudness-target -20
check "unreachable target" 0 "(ceiling): the target is not reached" -- "$cli" process "$work/song.wav" "$work/t.wav" --loudness-target -2 --true-peak-limit -3
check "limit without target" 2 "goes with --loudness-target" -- "$cli" process "$work/song.wav" "$work/t.wav" --true-peak-limit -2
check "target out of range" 2 "from -70 to 0" -- "$cli" process "$work/song.wav" "$work/t.wav" --loudness-target 3

# An ID3v1 tag: shown by probe, carried to the exported MP3 with the prefixes.
field30() { printf '%s' "$1"; head -c $((30 - ${#1})) /dev/zero; }
{ cat "$work/song.mp3"; printf 'TAG'; field30 Morning; field30 'The Band'; field30 'Best of'; printf '2024'; field30 comment; printf '\x0c'; } >"$work/tagged.mp3"
check "probe shows the tag" 0 "Ok	44100	2	$mp3bytes	00:03	Morning	The Band	Best of" -- "$cli" probe "$work/tagged.mp3"
check "prefixes" 0 "wrote" -- "$cli" process "$work/tagged.mp3" "$work/live.mp3" --album-prefix live_ --title-prefix 'x '
check "prefixed tag" 0 "	x Morning	The Band	live_Best of" -- "$cli" probe "$work/live.mp3"
[ "$(tail -c 31 "$work/live.mp3" | head -c 12)" = "LDR_V3.04.03" ] || { echo "FAIL tag comment"; failures=$((failures + 1)); }

# Damaged and cut MP3 songs are refused with a reason.
cp "$work/song.mp3" "$work/damaged.mp3"
yes "garbage" | head -c 3000 | dd of="$work/damaged.mp3" bs=1 seek=20000 conv=notrunc 2>/dev/null
check "damaged MP3" 1 "cannot decode.*not MP3 frames" -- "$cli" process "$work/damaged.mp3" "$work/d.wav"
head -c 5000 "$work/song.mp3" >"$work/cut.mp3"
check "cut MP3" 1 "cut.mp3	Unreadable" -- "$cli" probe "$work/cut.mp3"
check "cut MP3 refused" 1 "cut short" -- "$cli" process "$work/cut.mp3" "$work/c.wav"

# The external encoder: an argument vector, no shell; its failures fall back to WAV.
cat >"$work/enc.sh" <<'SCRIPT'
#!/bin/sh
printf '%s\n' "$@" >"$(dirname "$0")/enc_args"
cp "$2" "$3"
SCRIPT
chmod +x "$work/enc.sh"
check "external encoder" 0 "wrote" -- "$cli" process "$work/song.wav" "$work/ext.mp3" --external-encoder "$work/enc.sh" --encoder-params '-q %1 %2 %'
[ "$(head -1 "$work/enc_args")" = "-q" ] && [ "$(wc -l <"$work/enc_args")" -eq 3 ] && [ -s "$work/ext.mp3" ] || { echo "FAIL external encoder arguments"; cat "$work/enc_args"; failures=$((failures + 1)); }
check "external encoder fails" 1 "exited with status 1.*later exports are WAV" -- "$cli" process "$work/song.wav" "$work/ext2.mp3" --external-encoder false --encoder-params '%1 %2' --quiet
long="$(head -c 250 /dev/zero | tr '\0' x)"
check "parameter text too long" 1 "External encoder parameter error: The parameter string is too long. (MAX LENGTH=260)" -- "$cli" process "$work/song.wav" "$work/ext3.mp3" --external-encoder "$work/enc.sh" --encoder-params "$long %1"
check "encoder options together" 2 "go together" -- "$cli" process "$work/song.wav" "$work/x.mp3" --external-encoder "$work/enc.sh"
check "unknown format" 2 "wav or mp3" -- "$cli" process "$work/song.wav" "$work/x.mp3" --format flac
check "bit rate not a number" 2 "kbit/s" -- "$cli" process "$work/song.wav" "$work/x.mp3" --bitrate fast
check "prefix too long" 2 "at most 31 bytes" -- "$cli" process "$work/song.wav" "$work/x.mp3" --album-prefix 0123456789012345678901234567890123
check "peak" 0 "song.wav	" -- "$cli" peak "$work/song.wav"
check "unknown command" 2 "unknown command" -- "$cli" nosuch
# Parameter files and playlists.
check "params save" 0 "" -- "$cli" params save "$work/mine.ld3" --preset 343 --set 'driveDb[1]=20'
check "params show" 0 "driveDb\[1\] = 20" -- "$cli" params show "$work/mine.ld3"
check "process with a parameter file" 0 "wrote" -- "$cli" process "$work/song.wav" "$work/p.wav" --params "$work/mine.ld3"
check "not a parameter file" 1 "not a Loudara parameter file" -- "$cli" process "$work/song.wav" "$work/p.wav" --params "$work/song.wav"
check "playlist make" 0 "" -- "$cli" playlist make "$work/list.plt" "$work/song.wav"
check "playlist show" 0 "song.wav" -- "$cli" playlist show "$work/list.plt"
[ "$(stat -c %s "$work/list.plt")" -eq 640008 ] || { echo "FAIL playlist size"; failures=$((failures + 1)); }

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
