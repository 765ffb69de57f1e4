#!/usr/bin/env bash
# The screenshots of docs/: the window under a virtual X server, playing through a JACK server
# with the dummy driver (a sound card that needs no hardware).
#   docs/loudara-window.png      stopped, a WAV and an MP3 song listed
#   docs/loudara-playing.png     the WAV song playing with the gates on
#   docs/loudara-playing-mp3.png the MP3 song playing (no rewind buttons)
# Needs the Debian packages xvfb, imagemagick, xdotool and jackd2, and a build in build/ (or
# $LOUDARA_BUILD). The mouse clicks are at the window's fixed layout, centred on a 1024x900 screen.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${LOUDARA_BUILD:-$root/build}
# A short fixed folder: its path shows in the playlist's last column.
work=/tmp/loudara-screenshots
rm -rf "$work"
mkdir -p "$work"
export JACK_NO_AUDIO_RESERVATION=1 XDG_CONFIG_HOME=$work/config DISPLAY=:97
pids=()
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

"$build/bench/make_test_song" "$work/song.wav" 30
"$build/src/cli/loudara-cli" process "$work/song.wav" "$work/song.mp3" > /dev/null 2>&1
jackd --no-realtime -d dummy -r 44100 > "$work/jack.log" 2>&1 &
pids+=($!)
Xvfb :97 -screen 0 1024x900x24 -nolisten tcp > /dev/null 2>&1 &
pids+=($!)
sleep 2
(cd "$work" && exec "$build/src/ui/loudara") &
app=$!
pids+=($app)
sleep 5  # the splash closes after 3 seconds

X=139 Y=80  # the window's top left corner
click() {
    xdotool mousemove $((X + $1)) $((Y + $2)) click 1
    sleep "${3:-0.8}"
}
away() { xdotool mousemove 1000 880; }
shot() {
    import -window root "$work/screen.png"
    convert "$work/screen.png" -crop 745x674+$X+$Y +repage "$root/docs/$1"
}
addSong() {
    click 15 32 1.5  # toolbar: Open WAV/MP3 file
    xdotool type --delay 20 "$work/$1"
    xdotool key Return
    sleep 1
}

addSong song.wav
addSong song.mp3
away
shot loudara-window.png

click 160 395      # the WAV song
click 73 32 1      # toolbar: Play
click 691 118 0.3  # GATE
away
sleep 3
shot loudara-playing.png

click 98 32 2      # toolbar: Stop; the queued blocks play out
click 691 118 0.3  # GATE off again
click 160 413      # the MP3 song
click 73 32 0.3
away
sleep 5
shot loudara-playing-mp3.png

click 98 32 2
click 20 8 0.6     # File
click 46 123 2     # Quit
wait "$app" || true
echo "wrote docs/loudara-window.png docs/loudara-playing.png docs/loudara-playing-mp3.png"
