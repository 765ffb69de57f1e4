#!/usr/bin/env bash
# The command line's options as the user meets them outside the program: every option that a
# command's help names is offered by the bash completion and listed in the man page; --preset
# completes the names `presets --names` prints, --connect-input/--connect-output the ports of the
# JACK server; and the completion works (and prints nothing) without the bash-completion package.
#   tests/completion_test.sh LOUDARA_CLI SOURCE_DIR
cli="$1"
source_dir="$2"
completion="$source_dir/packaging/completion/loudara-cli"
man="$source_dir/packaging/man/loudara-cli.1"
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The options COMMAND's help names: in its usage lines, and in the option column of its lines
# indented by two spaces (a wrapped description is indented further).
options_of() {
    # shellcheck disable=SC2086
    "$cli" $1 --help | awk '
        /^Usage:/ || /^       loudara-cli/ { usage = 1 }
        /^$/ { usage = 0 }
        usage { print; next }
        /^  -/ { line = substr($0, 3); n = index(line, "  "); if (n > 0) line = substr(line, 1, n); print line }
    ' | grep -oE -- '(^|[^a-z])--[a-z0-9][a-z0-9-]*' | grep -oE -- '--[a-z0-9-]+' | sort -u
}

# What the completion offers for the words given, the last one being completed; run in a shell
# without bash-completion, with a jack_lsp of its own on the PATH. Its errors go to $work/errors.
complete_words() {
    env -i PATH="$work/bin:/usr/bin:/bin" bash --norc --noprofile -c '
        source "$1"; shift
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMPREPLY=()
        _loudara_cli
        printf "%s\n" "${COMPREPLY[@]}"' complete "$completion" "$@" 2>>"$work/errors"
}
mkdir -p "$work/bin"
sed 's/\\-/-/g' "$man" >"$work/man"
printf '#!/bin/sh\necho system:playback_1\necho system:playback_2\necho playout:out_1\n' >"$work/bin/jack_lsp"
chmod +x "$work/bin/jack_lsp"

for command in process filter loudness play onair "params save" "playlist make" presets devices; do
    options="$(options_of "$command")"
    [ -n "$options" ] || { fail "$command: no options found in its help"; continue; }
    # shellcheck disable=SC2086
    offered="$(complete_words loudara-cli $command --)"
    for option in $options; do
        [ "$option" = "--help" ] && continue
        grep -qx -- "$option" <<<"$offered" || fail "completion of $command lacks $option"
        grep -qE -- "(^|[^a-z-])$option([^a-z-]|\$)" "$work/man" || fail "the man page lacks $command's $option"
    done
done

names="$("$cli" presets --names)"
[ "$(wc -l <<<"$names")" -eq 11 ] || fail "presets --names: $names"
offered="$(complete_words loudara-cli process song.wav --preset '')"
for name in $names 232 343; do grep -qx -- "$name" <<<"$offered" || fail "--preset does not complete $name"; done
[ "$(complete_words loudara-cli onair --connect-output system:pl)" = "$(printf 'system:playback_1\nsystem:playback_2')" ] ||
    fail "--connect-output does not complete JACK ports: $(complete_words loudara-cli onair --connect-output system:pl)"
[ "$(complete_words loudara-cli he)" = "help" ] || fail "the command help is not completed"
[ ! -s "$work/errors" ] || { fail "the completion printed errors without bash-completion:"; cat "$work/errors"; }

[ "$failures" -eq 0 ] || { echo "$failures failures"; exit 1; }
echo "completion and man page: every option"
