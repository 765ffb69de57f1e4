#!/usr/bin/env bash
# Installs what is missing, builds in Release and starts Loudara.
#   ./scripts/run.sh             the program's window
#   ./scripts/run.sh cli ARGS    the command-line tool (loudara-cli ARGS)
set -euo pipefail
source "$(dirname "$0")/common.sh"
loudara_install_packages "${LOUDARA_BUILD_PACKAGES[@]}" "${LOUDARA_TEST_PACKAGES[@]}"
loudara_build
if [ "${1:-}" = "cli" ]; then
    shift
    exec "$LOUDARA_BUILD/src/cli/loudara-cli" "$@"
fi
exec "$LOUDARA_BUILD/src/ui/loudara"
