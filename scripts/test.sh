#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
#   ./scripts/test.sh          build and run the tests
#   ./scripts/test.sh --bench  also run the benchmarks (speed as a multiple of real time)
set -euo pipefail
source "$(dirname "$0")/common.sh"
run_bench=0
for arg in "$@"; do
    case "$arg" in
        --bench) run_bench=1 ;;
        *) echo "usage: $0 [--bench]" >&2; exit 2 ;;
    esac
done
loudara_install_packages "${LOUDARA_BUILD_PACKAGES[@]}" "${LOUDARA_TEST_PACKAGES[@]}"
loudara_build -DLOUDARA_BUILD_TESTS=ON -DLOUDARA_BUILD_BENCH=ON
ctest --test-dir "$LOUDARA_BUILD" --output-on-failure -j"$(nproc)"
if [ "$run_bench" -eq 1 ]; then
    "$LOUDARA_BUILD/bench/loudara_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
fi
