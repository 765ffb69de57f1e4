#!/usr/bin/env bash
# Loudara inside Liquidsoap, as a station runs it: a song through ladspa.loudara (preset 338) on
# a clock with no sync, and through pipe(process="loudara-cli filter ..."), each into
# output.file; both give the samples of `loudara-cli process --no-normalize --preset 338`.
#   liquidsoap_test.sh PATH_TO_LOUDARA_CLI PATH_TO_WAV_COMPARE LADSPA_FOLDER
set -u
cli="$(realpath "$1")"
compare="$2"
ladspa="$(realpath "$3")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
for tool in liquidsoap ffmpeg; do
    command -v "$tool" >/dev/null || { echo "FAIL $tool is not installed (Debian package $tool)"; exit 1; }
done
export TMPDIR="$work" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"
# Liquidsoap looks for LADSPA plugins in these folders (the installed plugin is in /usr/lib/ladspa).
export LIQ_LADSPA_DIRS="$ladspa"

ffmpeg -loglevel error -f lavfi -i "sine=frequency=220:duration=5,volume=0.4" -f lavfi \
    -i "anoisesrc=d=5:a=0.15:c=pink" -filter_complex "[0][1]amerge=inputs=2" -ar 44100 -c:a pcm_s16le \
    -bitexact "$work/song.wav"
"$cli" process "$work/song.wav" "$work/ref.wav" --no-normalize --preset 338 -q

# run NAME SCRIPT_BODY: runs a Liquidsoap script (the settings every test script shares, then BODY).
run() {
    {
        echo 'settings.init.allow_root.set(true)'
        echo 'settings.log.stdout.set(true)'
        echo 'settings.log.file.set(false)'
        echo 'settings.frame.audio.samplerate.set(44100)'
        echo "$2"
    } >"$work/$1.liq"
    (cd "$work" && timeout 120 liquidsoap "$1.liq") >"$work/$1.log" 2>&1 ||
        { fail "liquidsoap $1.liq failed:"; tail -20 "$work/$1.log"; }
}

# The plugin: the CLI's samples after the plugin's latency, within one 16-bit step (Liquidsoap
# rounds the plugin's float output to 16 bits where the chain truncates).
run ladspa '
song = once(single("song.wav"))
processed = ladspa.loudara(preset=338, song)
processed = clock(sync="none", processed)
output.file(%wav(stereo, samplesize=16), "ladspa.wav", fallible=true, on_stop=shutdown, processed)'
"$compare" "$work/ref.wav" "$work/ladspa.wav" --preset 338 --tolerance 1 >"$work/compared" ||
    fail "ladspa.loudara: $(cat "$work/compared")"
cat "$work/compared"

# The pipe. Liquidsoap hands a process 16-bit samples made as trunc(x * 32767) of its floats, not
# the song's own samples: the song goes in as float values that this conversion brings back
# exactly to the 16-bit song. Its pipe() cannot run ahead of the process on a clock with no sync
# (it stops the output when the process has not answered yet), so this one runs on the CPU clock.
# After the song it writes one more frame (0.04 s) of whatever its buffer holds before it closes
# the process: the chain's look-ahead hears that in the song's last frames, which are left out.
ffmpeg -loglevel error -i "$work/song.wav" -af \
    "aeval=exprs='(round(val(0)*32768)+0.5*sgn(val(0)))/32767|(round(val(1)*32768)+0.5*sgn(val(1)))/32767'" \
    -c:a pcm_f32le "$work/song-float.wav"
run pipe "
song = once(single(\"song-float.wav\"))
processed = pipe(process=\"$cli filter --preset 338\", song)
processed = clock(sync=\"cpu\", processed)
output.file(%wav(stereo, samplesize=16), \"pipe.wav\", fallible=true, on_stop=shutdown, processed)"
"$compare" "$work/ref.wav" "$work/pipe.wav" --tolerance 0 --ignore-last 1764 >"$work/compared" ||
    fail "pipe(loudara-cli filter): $(cat "$work/compared")"
cat "$work/compared"

[ "$failures" -eq 0 ] && echo "liquidsoap: all checks passed"
exit $((failures > 0))
