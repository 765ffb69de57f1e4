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
cli=$(ls "$work"/out/loudara-cli_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] && [ -n "$cli" ] || { echo "FAIL no package: $(ls "$work/out")"; exit 1; }
contents() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./|/|'; }
contents "$deb" >"$work/files"
contents "$cli" >"$work/cli-files"

# The window's package: the window, its manual, desktop entry and icons; it needs loudara-cli.
for f in /usr/bin/loudara /usr/share/doc/loudara/help/index.html \
    /usr/share/applications/org.loudara.Loudara.desktop /usr/share/metainfo/org.loudara.Loudara.metainfo.xml \
    /usr/share/icons/hicolor/scalable/apps/loudara.svg /usr/share/icons/hicolor/32x32/apps/loudara.png \
    /usr/share/man/man1/loudara.1.gz /usr/share/doc/loudara/copyright /usr/share/doc/loudara/changelog.gz; do
    grep -qx "$f" "$work/files" || fail "not in loudara: $f"
done
! grep -q "/usr/bin/loudara-cli\|/usr/lib/systemd" "$work/files" || fail "loudara-cli's files in loudara"
depends="$(dpkg-deb -f "$deb" Depends)"
for dependency in libqt6widgets6 libc6 fonts-wqy-microhei xdg-utils "loudara-cli (= $(dpkg-deb -f "$deb" Version))"; do
    [[ "$depends" == *"$dependency"* ]] || fail "loudara's Depends lacks $dependency: $depends"
done
[ "$(dpkg-deb -f "$deb" Package)" = "loudara" ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture"

# The command-line package: what a server needs, and no Qt, no desktop font.
for f in /usr/bin/loudara-cli /usr/share/man/man1/loudara-cli.1.gz /usr/share/bash-completion/completions/loudara-cli \
    /usr/lib/systemd/user/loudara-onair.service /usr/share/doc/loudara-cli/examples/onair.env \
    /usr/share/doc/loudara-cli/copyright /usr/share/doc/loudara-cli/changelog.gz; do
    grep -qx "$f" "$work/cli-files" || fail "not in loudara-cli: $f"
done
depends="$(dpkg-deb -f "$cli" Depends)"
[[ "$depends" == *libportaudio2* && "$depends" == *libmp3lame0* ]] || fail "loudara-cli's Depends: $depends"
[[ "$depends" != *qt6* && "$depends" != *fonts-* && "$depends" != *xdg-utils* ]] ||
    fail "loudara-cli pulls in the desktop: $depends"
[[ "$(dpkg-deb -f "$cli" Recommends)" == *jackd2* ]] || fail "loudara-cli does not recommend jackd2"
for f in "$work/files" "$work/cli-files"; do
    ! grep -q "^/usr/local\|/include/\|\.a$" "$f" || fail "stray files: $(grep "^/usr/local\|/include/\|\.a$" "$f")"
done
! grep -q "/lib/ladspa\|/lib/lv2" "$work/files" "$work/cli-files" || fail "the plugins are in the program's packages"

# The service's unit names the paths the package installs, and systemd accepts it.
dpkg-deb -x "$cli" "$work/cli-root"
unit="$work/cli-root/usr/lib/systemd/user/loudara-onair.service"
grep -q "^ExecStart=/usr/bin/loudara-cli onair " "$unit" || fail "ExecStart: $(grep ExecStart= "$unit")"
! grep -q "/usr/local" "$unit" || fail "the unit names /usr/local: $(grep -n /usr/local "$unit")"
grep -q "/usr/share/doc/loudara-cli/examples/onair.env" "$unit" || fail "the unit's example path"
grep -q "enable-linger" "$unit" || fail "the unit does not say how to keep it running after logout"
if command -v systemd-analyze >/dev/null; then
    # Its syntax and settings as systemd reads them, with the command pointing into the unpacked
    # package (the package is not installed here).
    sed "s|/usr/bin/loudara-cli|$work/cli-root/usr/bin/loudara-cli|g" "$unit" >"$work/loudara-onair.service"
    systemd-analyze verify "$work/loudara-onair.service" >"$work/verify" 2>&1 ||
        fail "systemd-analyze verify: $(cat "$work/verify")"
    grep -q "not executable\|Unknown\|Invalid" "$work/verify" && fail "systemd-analyze verify: $(cat "$work/verify")"
fi

# The plugins' own package: the two plugins, and nothing that pulls in Qt or a sound library.
plugins=$(ls "$work"/out/loudara-plugins_*.deb 2>/dev/null | head -1)
[ -n "$plugins" ] || { echo "FAIL no loudara-plugins package"; ls "$work/out"; exit 1; }
dpkg-deb -c "$plugins" | awk '{print $6}' | sed 's|^\./|/|' >"$work/plugin-files"
for f in /usr/lib/ladspa/loudara.so /usr/lib/lv2/loudara.lv2/loudara.so /usr/lib/lv2/loudara.lv2/manifest.ttl \
    /usr/lib/lv2/loudara.lv2/loudara.ttl /usr/share/doc/loudara-plugins/copyright; do
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

# Debian's own checks: no errors in any of the three.
if command -v lintian >/dev/null; then
    for package in "$cli" "$deb" "$plugins"; do
        lintian --no-tag-display-limit "$package" >"$work/lintian" 2>&1
        grep -q "^E: " "$work/lintian" && fail "lintian $(basename "$package"): $(grep "^E: " "$work/lintian")"
    done
fi

[ "$failures" -eq 0 ] && for package in "$cli" "$deb" "$plugins"; do
    echo "$(basename "$package"): $(stat -c %s "$package") bytes; Depends: $(dpkg-deb -f "$package" Depends)"
done
exit "$failures"
