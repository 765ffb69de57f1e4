#!/usr/bin/env bash
# loudara-cli process --output-dir: mixed inputs, the summary and exit status, -j 1 and -j 2 and
# one-at-a-time runs giving the same bytes, resuming, Ctrl-C, and GNU parallel over a folder.
#   batch_test.sh PATH_TO_LOUDARA_CLI
set -u
source "$(dirname "$0")/interrupt_on_progress.sh"
source "$(dirname "$0")/wav_bytes.sh"
cli="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# A 16-bit 44.1 kHz stereo WAV of noise: song NAME SECONDS
song() {
    local data=$(($2 * 44100 * 4))
    {
        printf 'RIFF'; le32 $((data + 36)); printf 'WAVEfmt '; le32 16
        printf '\x01\x00\x02\x00'; le32 44100; le32 $((44100 * 4)); printf '\x04\x00\x10\x00'
        printf 'data'; le32 "$data"
        head -c "$data" /dev/urandom
    } >"$1"
}

mkdir -p "$work/lib/sub"
song "$work/lib/a.wav" 2
song "$work/lib/b.wav" 3
song "$work/lib/sub/c.wav" 2
"$cli" process "$work/lib/b.wav" "$work/lib/sub/d.mp3" --quiet || fail "making the MP3 song"
echo "not a song" >"$work/lib/broken.wav"

# Mixed inputs: four good songs, one unplayable, one missing.
"$cli" process "$work/lib" "$work/missing.wav" --output-dir "$work/j1" -j 1 >"$work/out" 2>"$work/err"
status=$?
[ "$status" -eq 1 ] || fail "mixed batch exits $status, not 1"
grep -q "^4 done, 2 failed, 0 skipped" "$work/err" || { fail "mixed batch summary"; cat "$work/err"; }
grep -q "broken.wav: cannot read" "$work/err" || fail "the unplayable song's reason"
grep -q "missing.wav: no such file" "$work/err" || fail "the missing song's reason"
grep -q $'\r' "$work/err" && fail "progress bytes in a log file"
for f in a.wav b.wav sub/c.wav sub/d.mp3; do [ -s "$work/j1/$f" ] || fail "no output $f"; done
[ -z "$(find "$work/j1" -name '.*' ! -name .loudara_batch)" ] || fail "working files left: $(find "$work/j1" -name '.*' ! -name .loudara_batch)"

# Run again, a batch skips the outputs made with the same settings and makes again those whose
# settings changed (and says so); an output it did not make is left alone.
"$cli" process "$work/lib" --output-dir "$work/again" -j 2 2>/dev/null
cp "$work/again/a.wav" "$work/a-before.wav"
"$cli" process "$work/lib" --output-dir "$work/again" -j 2 2>"$work/err"
grep -q "^0 done, 1 failed, 4 skipped$" "$work/err" || { fail "rerun with the same settings"; cat "$work/err"; }
"$cli" process "$work/lib" --output-dir "$work/again" --preset fm-wide-stereo -j 2 2>"$work/err"
grep -q "^4 done, 1 failed, 0 skipped, 4 redone: settings changed$" "$work/err" || { fail "rerun with another preset"; cat "$work/err"; }
cmp -s "$work/again/a.wav" "$work/a-before.wav" && fail "an output made with another preset was kept"
"$cli" process "$work/lib" --output-dir "$work/again" --preset 343 -j 2 2>"$work/err"
grep -q "^0 done, 1 failed, 4 skipped$" "$work/err" || { fail "rerun with the same preset by id"; cat "$work/err"; }
mkdir -p "$work/own" "$work/own-out"
song "$work/own/x.wav" 1
song "$work/own-out/x.wav" 1
cp "$work/own-out/x.wav" "$work/own-before.wav"
"$cli" process "$work/own" --output-dir "$work/own-out" --preset 334 2>"$work/err"
grep -q "^0 done, 0 failed, 1 skipped$" "$work/err" && cmp -s "$work/own-out/x.wav" "$work/own-before.wav" ||
    fail "an output the batch did not make was not left alone"

# --report: one document with every song of the batch.
"$cli" process "$work/lib/a.wav" "$work/missing.wav" --output-dir "$work/rep" --report "$work/batch.json" 2>/dev/null
[ "$(grep -c '"song":' "$work/batch.json")" -eq 2 ] && grep -q '"status": "failed"' "$work/batch.json" &&
    grep -q '"integratedLufs"' "$work/batch.json" || { fail "batch report"; cat "$work/batch.json"; }
# A report that could not be written is refused before any song is processed; one in the output
# folder, which the batch makes, is not.
"$cli" process "$work/lib/a.wav" --output-dir "$work/norep" --report "$work/no/such/batch.json" 2>"$work/err"
[ $? -eq 1 ] && grep -q "cannot write the report .*: there is no folder" "$work/err" || { fail "unwritable report"; cat "$work/err"; }
[ -z "$(ls -A "$work/norep")" ] || fail "songs processed although the report could not be written"
"$cli" process "$work/lib/a.wav" --output-dir "$work/inrep" --report "$work/inrep/batch.json" -q || fail "report in the output folder"

# Two at a time and one song at a time give the same bytes.
"$cli" process "$work/lib/a.wav" "$work/lib/b.wav" "$work/lib/sub" --output-dir "$work/j2" -j 2 2>/dev/null
[ $? -eq 0 ] || fail "batch of good songs does not exit 0"
for f in a.wav b.wav c.wav d.mp3; do
    from="$work/j1/$f"; [ -f "$from" ] || from="$work/j1/sub/$f"
    cmp -s "$from" "$work/j2/$f" || fail "-j 2 output $f differs from -j 1"
done
"$cli" process "$work/lib/sub/d.mp3" "$work/single.mp3" --quiet
cmp -s "$work/single.mp3" "$work/j1/sub/d.mp3" || fail "batch MP3 differs from a one-song run"
"$cli" process "$work/lib/a.wav" "$work/single.wav" --quiet
cmp -s "$work/single.wav" "$work/j1/a.wav" || fail "batch WAV differs from a one-song run"

# MP3 songs decoded side by side (the codec's decoder shares memory between its handles).
mkdir -p "$work/mp3s"
for n in 1 2 3; do
    song "$work/m$n.wav" 4
    "$cli" process "$work/m$n.wav" "$work/mp3s/m$n.mp3" --quiet || fail "making MP3 song $n"
done
"$cli" process "$work/mp3s" --output-dir "$work/mp3j1" --format wav -j 1 2>/dev/null || fail "MP3 batch -j 1"
"$cli" process "$work/mp3s" --output-dir "$work/mp3j3" --format wav -j 3 2>/dev/null || fail "MP3 batch -j 3"
for n in 1 2 3; do cmp -s "$work/mp3j1/m$n.wav" "$work/mp3j3/m$n.wav" || fail "MP3 song $n differs with -j 3"; done

# Songs of other kinds: FLAC stays FLAC, the others become WAV at their chain rate and depth; a
# 6-channel WAV and a damaged FLAC are passed over with their reasons, and the batch fails.
mkdir -p "$work/kinds"
wave 2 44100 24 2 >"$work/kinds/deep.wav"
wave 1 96000 16 2 >"$work/kinds/fast.wav"
wave 6 44100 16 1 >"$work/kinds/six.wav"
"$cli" process "$work/kinds/deep.wav" "$work/kinds/lossless.flac" --quiet || fail "making the FLAC song"
head -c 4000 "$work/kinds/lossless.flac" >"$work/kinds/damaged.flac"
cp "$work/lib/a.wav" "$work/kinds/plain.wav"
"$cli" process "$work/kinds" --output-dir "$work/kinds-out" -j 2 >"$work/out" 2>"$work/err"
status=$?
[ "$status" -eq 1 ] || fail "batch of other kinds exits $status, not 1"
grep -q "^4 done, 2 failed, 0 skipped" "$work/err" || { fail "batch of other kinds summary"; cat "$work/err"; }
grep -q "six.wav: 16-bit PCM, 6 channels at 44100 Hz: Loudara takes mono or stereo" "$work/err" || fail "the 6-channel song's reason"
grep -q "six.wav: [^ ]*six.wav: " "$work/err" && fail "the 6-channel song is named twice before its reason"
grep -q "damaged.flac: unreadable: " "$work/err" || { fail "the damaged FLAC's reason"; cat "$work/err"; }
grep -q "damaged.flac: .*damaged.flac" "$work/err" && fail "the damaged FLAC is named twice"
"$cli" probe "$work/kinds-out/deep.wav" | grep -q "	WAV	Ok	44100	2	.*	24-bit PCM$" || fail "24-bit song output"
"$cli" probe "$work/kinds-out/fast.wav" | grep -q "	WAV	Ok	48000	1	192000	00:02$" || fail "96 kHz song output"
"$cli" probe "$work/kinds-out/lossless.flac" | grep -q "	FLAC	Ok	44100	2	.*	FLAC 24-bit$" || fail "FLAC song output"
"$cli" process "$work/lib/a.wav" "$work/kinds-plain.wav" --quiet
cmp -s "$work/kinds-out/plain.wav" "$work/kinds-plain.wav" || fail "a 16-bit song among other kinds differs"
[ -z "$(ls "$work/kinds-out" | grep -v '^deep.wav$\|^fast.wav$\|^lossless.flac$\|^plain.wav$')" ] || fail "outputs of refused songs: $(ls "$work/kinds-out")"
[ -z "$(find "$work/kinds-out" -name '.*' ! -name .loudara_batch)" ] || fail "working files left: $(find "$work/kinds-out" -name '.*' ! -name .loudara_batch)"

# Resuming: outputs that exist are skipped, unless --force; a killed run's working file goes.
rm "$work/j2/b.wav"
touch "$work/j2/.b.loudara-999999999-1.wav"
"$cli" process "$work/lib/a.wav" "$work/lib/b.wav" --output-dir "$work/j2" 2>"$work/err"
[ $? -eq 0 ] || fail "resumed batch does not exit 0"
grep -q "^1 done, 0 failed, 1 skipped" "$work/err" || { fail "resume summary"; cat "$work/err"; }
[ -e "$work/j2/.b.loudara-999999999-1.wav" ] && fail "a dead run's working file was left"
"$cli" process "$work/lib/a.wav" --output-dir "$work/j2" --force 2>"$work/err"
grep -q "^1 done, 0 failed, 0 skipped" "$work/err" || fail "--force does not process again"

# The same song named twice is done once; another song for the same output name fails.
mkdir -p "$work/twin"
song "$work/twin/a.wav" 1
"$cli" process "$work/lib/a.wav" "$work/twin/a.wav" "$work/lib/../lib/a.wav" --output-dir "$work/twice" 2>"$work/err"
[ $? -eq 1 ] || fail "a batch with an output named twice does not exit 1"
grep -q "^1 done, 1 failed, 1 skipped" "$work/err" || { fail "song named twice"; cat "$work/err"; }
grep -q "twin/a.wav: the same output as" "$work/err" || fail "the clashing song's reason"
cmp -s "$work/twice/a.wav" "$work/j1/a.wav" || fail "the song named twice was not the first one's output"

# An output folder inside the input folder: its results are not songs of the next run.
mkdir -p "$work/nest"
song "$work/nest/n.wav" 1
"$cli" process "$work/nest" --output-dir "$work/nest/out" --quiet 2>/dev/null || fail "batch into its own folder"
"$cli" process "$work/nest" --output-dir "$work/nest/out" 2>"$work/err"
grep -q "^0 done, 0 failed, 1 skipped" "$work/err" || { fail "rerun into its own folder"; cat "$work/err"; }
[ "$(find "$work/nest" -name '*.wav' | wc -l)" -eq 2 ] || fail "outputs processed again: $(find "$work/nest" -name '*.wav')"

# Ctrl-C cancels every running song and delivers nothing of them; the same command then finishes.
# The batch has a terminal (script), so that it shows its progress line, and is interrupted once
# that line shows songs running.
mkdir -p "$work/long"
for n in 1 2 3 4; do song "$work/long/l$n.wav" 40; done
interrupt_on_progress ", [1-9][0-9]* running" "$work/tty" \
    "'$cli' process '$work/long' --output-dir '$work/cut' -j 2 --throttle 40"
[ "$status" -ne -1 ] || fail "no progress line with songs running within 60 s"
[ "$status" -eq 130 ] || fail "cancelled batch exits $status, not 130"
tr '\r' '\n' <"$work/tty" | grep -q "^cancelled  [0-3] of 4 songs finished" || fail "the progress line does not say cancelled"
tr '\r' '\n' <"$work/tty" | grep -q "^100%" && fail "a cancelled batch shows 100 %"
[ -z "$(find "$work/cut" -name '.*' ! -name .loudara_batch)" ] || fail "cancel left working files"
for f in "$work"/cut/*.wav; do
    [ -e "$f" ] && ! cmp -s <(head -c 44 "$f") <(head -c 44 "$work/long/$(basename "$f")") && fail "partial output $f"
done
"$cli" process "$work/long" --output-dir "$work/cut" -j 2 2>"$work/err" || fail "resuming the cancelled batch"
[ "$(ls "$work/cut" | wc -l)" -eq 4 ] || fail "resumed batch did not finish every song"

# A song whose name holds a newline and a tab keeps to one line of the log, escaped.
mkdir -p "$work/odd"
song "$work/odd/two"$'\n'"lines"$'\t'"x.wav" 1
"$cli" process "$work/odd" --output-dir "$work/oddout" 2>"$work/err" || fail "batch of the oddly named song"
grep -q '^lines' "$work/err" && { fail "a newline in a song's name splits the log line"; cat "$work/err"; }
grep -qF "done	$work/odd/two\nlines\tx.wav	$work/oddout/two\nlines\tx.wav" "$work/err" ||
    { fail "the oddly named song's log line"; cat "$work/err"; }

# A sub-folder the user cannot read is a failure with its reason, never passed over. Root reads
# every folder, so there the batch runs as nobody (a copy of the program in a folder it can reach).
locked="$(mktemp -d /tmp/loudara_locked.XXXXXX)"  # a folder nobody can reach
trap 'rm -rf "$work"; chmod -R u+rwx "$locked"; rm -rf "$locked"' EXIT
chmod 777 "$locked"
mkdir -p "$locked/lib/open" "$locked/lib/closed"
song "$locked/lib/open/a.wav" 1
song "$locked/lib/closed/b.wav" 1
chmod -R a+rX "$locked/lib"
chmod 000 "$locked/lib/closed"
runner=()
if [ "$(id -u)" -eq 0 ]; then
    cp "$cli" "$locked/loudara-cli" && chmod 755 "$locked/loudara-cli"
    runner=(runuser -u nobody -- env HOME="$locked" "$locked/loudara-cli")
else
    runner=("$cli")
fi
"${runner[@]}" process "$locked/lib" --output-dir "$locked/out" 2>"$work/err"
status=$?
[ "$status" -eq 1 ] || { fail "a batch over an unreadable sub-folder exits $status, not 1"; cat "$work/err"; }
grep -q "^1 done, 1 failed" "$work/err" || { fail "the unreadable sub-folder's summary"; cat "$work/err"; }
grep -q "$locked/lib/closed: cannot read the folder: Permission denied" "$work/err" ||
    { fail "the unreadable sub-folder is not named"; cat "$work/err"; }

# GNU parallel spreads one-song runs over jobs (over machines with --sshlogin): same bytes.
if command -v parallel >/dev/null; then
    mkdir -p "$work/par"
    parallel -j 2 "$cli" process {} "$work/par/{/.}.mp3" --quiet ::: "$work"/lib/a.wav "$work"/lib/b.wav "$work"/lib/sub/c.wav
    [ $? -eq 0 ] || fail "GNU parallel run"
    "$cli" process "$work/lib" --output-dir "$work/ser" --format mp3 -j 1 2>/dev/null
    for f in a b c; do
        ser="$work/ser/$f.mp3"; [ -f "$ser" ] || ser="$work/ser/sub/$f.mp3"
        cmp -s "$work/par/$f.mp3" "$ser" || fail "GNU parallel output $f.mp3 differs from the serial batch"
    done
else
    echo "GNU parallel is not installed: its recipe is not checked"
fi

[ "$failures" -eq 0 ] && echo "all batch checks passed"
exit "$failures"
