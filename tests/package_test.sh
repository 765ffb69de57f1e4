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
! grep -q "/lib/ladspa\|/lib/lv2" "$work/files" || fail "the plugins are in the program's package"

# The plugins' own package: the two plugins, and nothing that pulls in Qt or a sound library.
plugins=$(ls "$work"/out/loudara-plugins_*.deb 2>/dev/null | head -1)
[ -n "$plugins" ] || { echo "FAIL no loudara-plugins package"; ls "$work/out"; exit 1; }
dpkg-deb -c "$plugins" | awk '{print $6}' | sed 's|^\./|/|' >"$work/plugin-files"
for f in /usr/lib/ladspa/loudara.so /usr/lib/lv2/loudara.lv2/loudara.so /usr/lib/lv2/loudara.lv2/manifest.ttl \
    /usr/lib/lv2/loudara.lv2/loudara.ttl; do
    grep -qx "$f" "$work/plugin-files" || fail "not in loudara-plugins: $f"
done
! grep -q "/usr/bin/\|/usr/share/applications" "$work/plugin-files" || fail "the program is in loudara-plugins"
depends="$(dpkg-deb -f "$plugins" Depends)"
[[ "$depends" == *libc6* && "$depends" == *libstdc++6* ]] || fail "loudara-plugins Depends: $depends"
[[ "$depends" != *qt6* && "$depends" != *portaudio* && "$depends" != *mp3lame* && "$depends" != *sndfile* ]] ||
    fail "loudara-plugins pulls in more than the runtimes: $depends"
# Unpacked, the plugins are what the hosts' tools find there (not with the sanitizers' runtime
# inside them, which only a sanitized program can load).
dpkg-deb -x "$plugins" "$work/root"
if [ -n "${LOUDARA_SANITIZED:-}" ]; then
    :
elif command -v analyseplugin >/dev/null; then
    LADSPA_PATH="$work/root/usr/lib/ladspa" analyseplugin loudara | grep -q 'Plugin Label: "loudara"' ||
        fail "analyseplugin does not find the packaged plugin"
fi
if [ -z "${LOUDARA_SANITIZED:-}" ] && command -v lv2info >/dev/null; then
    LV2_PATH="$work/root/usr/lib/lv2" lv2info http://loudara.example.org/plugins/loudara | grep -q "Has latency" ||
        fail "lv2info does not read the packaged bundle"
fi

[ "$failures" -eq 0 ] && echo "package checks passed: $(basename "$deb"), $(stat -c %s "$deb") bytes; $(basename "$plugins"), $(stat -c %s "$plugins") bytes"
exit "$failures"
