#!/usr/bin/env bash
# The Debian package: built by CPack into a folder of its own, with the files a user needs.
#   package_test.sh BUILD_DIR
set -u
build="$(cd "$1" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/loudara_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { echo "FAIL no package"; exit 1; }
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/files"
for f in /usr/bin/loudara /usr/bin/loudara-cli /usr/share/doc/loudara/help/index.html \
    /usr/share/applications/org.loudara.Loudara.desktop /usr/share/metainfo/org.loudara.Loudara.metainfo.xml \
    /usr/share/icons/hicolor/scalable/apps/loudara.svg /usr/share/icons/hicolor/32x32/apps/loudara.png \
    /usr/share/man/man1/loudara.1.gz /usr/share/man/man1/loudara-cli.1.gz \
    /usr/share/bash-completion/completions/loudara-cli; do
    grep -qx "$f" "$work/files" || fail "not in the package: $f"
done
! grep -q "^/usr/local\|/include/\|\.a$" "$work/files" || fail "stray files: $(grep "^/usr/local\|/include/\|\.a$" "$work/files")"
depends="$(dpkg-deb -f "$deb" Depends)"
for lib in libqt6widgets6 libportaudio2 libmp3lame0 libc6 fonts-wqy-microhei; do
    [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
[ "$(dpkg-deb -f "$deb" Package)" = "loudara" ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture"

[ "$failures" -eq 0 ] && echo "package checks passed: $(basename "$deb"), $(stat -c %s "$deb") bytes"
exit "$failures"
