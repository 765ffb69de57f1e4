#!/usr/bin/env bash
# The installed tree: staged with DESTDIR, validated as a desktop application would be, and run
# from another folder.
#   install_test.sh BUILD_DIR
set -u
build="$(cd "$1" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

DESTDIR="$work/stage" cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "cmake --install"; }
usr="$work/stage/usr"
for f in bin/loudara bin/loudara-cli share/doc/loudara/help/index.html share/applications/org.loudara.Loudara.desktop \
    share/metainfo/org.loudara.Loudara.metainfo.xml share/icons/hicolor/scalable/apps/loudara.svg \
    share/icons/hicolor/48x48/apps/loudara.png share/icons/hicolor/256x256/apps/loudara.png \
    share/man/man1/loudara.1.gz share/man/man1/loudara-cli.1.gz share/bash-completion/completions/loudara-cli \
    lib/ladspa/loudara.so lib/lv2/loudara.lv2/loudara.so lib/lv2/loudara.lv2/manifest.ttl lib/lv2/loudara.lv2/loudara.ttl; do
    [ -s "$usr/$f" ] || fail "not installed: $f"
done
desktop-file-validate "$usr/share/applications/org.loudara.Loudara.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$usr/share/metainfo/org.loudara.Loudara.metainfo.xml" >"$work/as.log" 2>&1 ||
    { cat "$work/as.log"; fail "appstreamcli validate"; }
# The icon and launcher the metainfo and desktop entry name are the installed ones.
grep -qx "Icon=loudara" "$usr/share/applications/org.loudara.Loudara.desktop" || fail "desktop icon name"
grep -qx "Exec=loudara %F" "$usr/share/applications/org.loudara.Loudara.desktop" || fail "desktop Exec takes files"
for type in audio/wav audio/mpeg audio/flac audio/ogg audio/x-aiff; do
    grep -q "^MimeType=.*$type;" "$usr/share/applications/org.loudara.Loudara.desktop" || fail "desktop MimeType $type"
done
for size in 16 22 24 32 48 64 128 256; do
    file "$usr/share/icons/hicolor/${size}x${size}/apps/loudara.png" | grep -q "PNG image data, $size x $size" ||
        fail "icon ${size}x${size}"
done
# The man pages are well-formed roff.
if command -v man >/dev/null; then
    for page in loudara loudara-cli; do
        warnings="$(MANWIDTH=80 man --warnings -l "$usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)"
        [ -z "$warnings" ] || fail "man $page: $warnings"
    done
fi
bash -n "$usr/share/bash-completion/completions/loudara-cli" || fail "bash completion syntax"

# The installed tool runs from another folder; the installed program finds its installed manual.
mkdir "$work/elsewhere"
version="$(cd "$work/elsewhere" && "$usr/bin/loudara-cli" --version)" || fail "installed loudara-cli --version"
[[ "$version" == "loudara-cli 3.04.03" ]] || fail "version text: $version"
[ -z "$(ls -A "$work/elsewhere")" ] || fail "files left in the folder the tool ran from"

[ "$failures" -eq 0 ] && echo "install checks passed"
exit "$failures"
