#!/usr/bin/env bash
# The window's program without a display: --help and --version answer and end; anything else
# says in one line that there is no display (not Qt's abort), with status 1.
#   tests/ui/no_display_test.sh LOUDARA
loudara="$1"
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
out="$(mktemp)" err="$(mktemp)"
trap 'rm -f "$out" "$err"' EXIT
bare() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$loudara" "$@" >"$out" 2>"$err"; }

bare --help
[ $? -eq 0 ] && grep -q "^Usage: loudara \[FILE...\]" "$out" && [ ! -s "$err" ] || fail "--help: $(cat "$out" "$err")"
bare --version
[ $? -eq 0 ] && grep -qx "loudara [0-9][0-9.]*" "$out" || fail "--version: $(cat "$out" "$err")"
bare song.wav
status=$?
[ "$status" -eq 1 ] || fail "without a display the status is $status"
[ "$(wc -l <"$err")" -eq 1 ] && grep -q "^loudara: no display" "$err" || fail "without a display: $(cat "$err")"
grep -qi "reinstall" "$err" && fail "Qt's abort text"

[ "$failures" -eq 0 ] || exit 1
echo "no display: answered in one line"
