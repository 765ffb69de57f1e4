#!/usr/bin/env bash
# Installs what is missing, builds in Release what it runs (not the tests or benchmarks) and
# starts Loudara.
#   ./scripts/run.sh             the program's window (needs a display)
#   ./scripts/run.sh cli ARGS    the command-line tool (loudara-cli ARGS)
set -euo pipefail
if [ "${1:-}" != "cli" ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: no display (DISPLAY and WAYLAND_DISPLAY are empty): run the command-line tool with" \
         "'./scripts/run.sh cli --help', or the window on a virtual display with 'xvfb-run ./scripts/run.sh'" >&2
    exit 1
fi
source "$(dirname "$0")/common.sh"
loudara_install_packages "${LOUDARA_BUILD_PACKAGES[@]}"
# A first configure leaves the tests and benchmarks out (scripts/test.sh switches them on);
# only the program that runs is built.
if [ ! -f "$LOUDARA_BUILD/CMakeCache.txt" ]; then
    cmake -S "$LOUDARA_ROOT" -B "$LOUDARA_BUILD" -DCMAKE_BUILD_TYPE=Release -DLOUDARA_BUILD_TESTS=OFF \
          -DLOUDARA_BUILD_BENCH=OFF >/dev/null
fi
if [ "${1:-}" = "cli" ]; then
    shift
    cmake --build "$LOUDARA_BUILD" -j"$(nproc)" --target loudara-cli >/dev/null
    exec "$LOUDARA_BUILD/src/cli/loudara-cli" "$@"
fi
cmake --build "$LOUDARA_BUILD" -j"$(nproc)" --target loudara >/dev/null
exec "$LOUDARA_BUILD/src/ui/loudara"
