#!/usr/bin/env bash
# Installs what is missing, builds in Release and starts Loudara.
set -euo pipefail
source "$(dirname "$0")/common.sh"
loudara_install_packages "${LOUDARA_BUILD_PACKAGES[@]}" "${LOUDARA_TEST_PACKAGES[@]}"
loudara_build
# The window comes later; until then the command-line tool is the program.
"$LOUDARA_BUILD/src/cli/loudara-cli" "$@" || true
