#!/usr/bin/env bash
# The plugins as the standard hosts' tools see them: analyseplugin (LADSPA) and lv2info (LV2) list
# every sound parameter with its range, lv2apply gives the command line's samples, and the shared
# objects need nothing beyond the C and C++ runtimes.
#   hosts_test.sh PATH_TO_LOUDARA_CLI PATH_TO_WAV_COMPARE LADSPA_FOLDER LV2_FOLDER
set -u
cli="$(realpath "$1")"
compare="$(realpath "$2")"
ladspa="$(realpath "$3")"
lv2="$(realpath "$4")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
for tool in analyseplugin:ladspa-sdk lv2info:lilv-utils lv2apply:lilv-utils ffmpeg:ffmpeg; do
    command -v "${tool%%:*}" >/dev/null || { echo "FAIL ${tool%%:*} is not installed (Debian package ${tool#*:})"; exit 1; }
done
export TMPDIR="$work" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"

# Nothing but the runtimes: a host that loads the plugin loads no codec, no Qt, no sound server.
for so in "$ladspa/loudara.so" "$lv2/loudara.lv2/loudara.so"; do
    extra="$(ldd "$so" | grep -vE 'linux-vdso|libstdc\+\+|libm\.so|libgcc_s|libc\.so|ld-linux')"
    [ -z "$extra" ] || fail "$so needs more than the runtimes: $extra"
done

# Every parameter ("name[0..5]" per band), as the command line lists them: NAME MIN MAX [switch].
params="$("$cli" process --list-parameters)"
[ -n "$params" ] || fail "no parameter list"
analysed="$(LADSPA_PATH="$ladspa" analyseplugin loudara)" || fail "analyseplugin cannot load the plugin"
lv2listed="$(LV2_PATH="$lv2" lv2info http://loudara.example.org/plugins/loudara)" || fail "lv2info cannot read the bundle"
while IFS=$'\t' read -r name min max kind; do
    symbols=("$name")
    [[ "$name" == *"[0..5]" ]] && symbols=("${name%\[*}_"{0,1,2,3,4,5})
    for symbol in "${symbols[@]}"; do
        if [ "$kind" = switch ]; then
            grep -qF "\"$symbol\" input, control, toggled" <<<"$analysed" || fail "analyseplugin: no toggle $symbol"
        else
            grep -qF "\"$symbol\" input, control, $min to $max" <<<"$analysed" ||
                fail "analyseplugin: no $symbol from $min to $max"
        fi
        # lv2info: the port's symbol, then its minimum and maximum as "%f".
        block="$(grep -A12 -E "^\s*Symbol:\s+$symbol\$" <<<"$lv2listed")"
        grep -qE "Minimum:\s+$(printf %f "$min")" <<<"$block" && grep -qE "Maximum:\s+$(printf %f "$max")" <<<"$block" ||
            fail "lv2info: no $symbol from $min to $max"
    done
done <<<"$params"
grep -qF '"preset" input, control, 232 to 343' <<<"$analysed" || fail "analyseplugin: no preset control"
grep -qF '"latency" output, control' <<<"$analysed" || fail "analyseplugin: no latency output"
grep -qE "Scale Points:" <<<"$(grep -B20 -E '^\s*Symbol:\s+preset$' <<<"$lv2listed")" || fail "lv2info: preset is no enumeration"

# lv2apply on a song: the command line's samples after the latency, within one 16-bit step
# (lv2apply rounds the float output to 16 bits where the chain truncates).
ffmpeg -loglevel error -f lavfi -i "sine=frequency=220:duration=4,volume=0.4" -f lavfi \
    -i "anoisesrc=d=4:a=0.15:c=pink" -filter_complex "[0][1]amerge=inputs=2" -ar 48000 -c:a pcm_s16le \
    -bitexact "$work/song.wav"
for preset in 232 341; do
    "$cli" process "$work/song.wav" "$work/ref.wav" --no-normalize --preset "$preset" -q --force
    LV2_PATH="$lv2" lv2apply -i "$work/song.wav" -o "$work/lv2.wav" -c preset "$preset" \
        http://loudara.example.org/plugins/loudara >"$work/lv2apply.log" 2>&1 || fail "lv2apply: $(cat "$work/lv2apply.log")"
    "$compare" "$work/ref.wav" "$work/lv2.wav" --preset "$preset" --rate 48000 --tolerance 1 >"$work/compared" ||
        fail "lv2apply with preset $preset: $(cat "$work/compared")"
    cat "$work/compared"
done

[ "$failures" -eq 0 ] && echo "hosts: all checks passed"
exit $((failures > 0))
