# Shared by run.sh and test.sh: install the Debian packages the build needs, quietly and only when missing.
LOUDARA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
LOUDARA_BUILD="${LOUDARA_BUILD:-$LOUDARA_ROOT/build}"

loudara_install_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# qt6-base-dev brings Qt Widgets and Qt Test; its offscreen platform runs the GUI tests headless. The
# font gives the full-width brackets of the preset names a glyph (the package depends on it too); file lets
# `cpack -G DEB` find the binaries whose library dependencies dpkg-shlibdeps reads.
# libsndfile and libsoxr read the sound file formats besides WAV and MP3 and resample them; TagLib
# carries a song's tags over to its exported file.
# ladspa-sdk and lv2-dev: the headers of the two plugin standards (ladspa-sdk also brings analyseplugin).
# libcpp-httplib-dev: the ON-AIR service's HTTP server (threads, keep-alive, body limits and chunked
# responses for the live meters, maintained in Debian; a shared library whose header pkg-config reads).
LOUDARA_BUILD_PACKAGES=(build-essential cmake pkg-config libmp3lame-dev portaudio19-dev qt6-base-dev
                        nlohmann-json3-dev fonts-wqy-microhei file libjack-jackd2-dev libshout3-dev
                        libsndfile1-dev libsoxr-dev libtag1-dev ladspa-sdk lv2-dev libcpp-httplib-dev)
# The install and package tests validate the desktop entry and metainfo and build the .debs (lintian
# checks them); the batch test spreads one-song runs with GNU parallel, as the README shows; jackd2
# and icecast2: the integration tests run servers of their own; ffmpeg checks the stream. Liquidsoap and lilv-utils
# (lv2apply, lv2info) are the hosts the plugin tests run the plugins in. chromium, chromium-driver and
# python3-selenium drive the remote control's web page in a real browser; nginx-light is the reverse
# proxy of the README's recipe (TLS in front of the service on loopback), which a test runs. libebur128 is
# the reference the tests hold the loudness and true-peak meters to (the programs do not link it).
LOUDARA_TEST_PACKAGES=(libebur128-dev libgtest-dev libgmock-dev libbenchmark-dev jackd2 desktop-file-utils appstream dpkg-dev lintian
                       parallel icecast2 ffmpeg liquidsoap lilv-utils chromium chromium-driver python3-selenium
                       nginx-light)
# Only for ./scripts/test.sh --fuzz: clang with libFuzzer and the sanitizer runtimes.
LOUDARA_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)

loudara_build() {
    cmake -S "$LOUDARA_ROOT" -B "$LOUDARA_BUILD" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
    cmake --build "$LOUDARA_BUILD" -j"$(nproc)"
}
