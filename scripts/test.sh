#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
#   ./scripts/test.sh                build and run the tests
#   ./scripts/test.sh --bench        also run the benchmarks (speed as a multiple of real time)
#   ./scripts/test.sh --sanitize     instead: the whole suite built and run under AddressSanitizer,
#                                    UndefinedBehaviorSanitizer and LeakSanitizer (build-sanitize/)
#   ./scripts/test.sh --fuzz SECONDS instead: every fuzz target run for SECONDS under the sanitizers,
#                                    from seeds the program's own writers make (build-fuzz/)
set -euo pipefail
source "$(dirname "$0")/common.sh"
run_bench=0
mode=tests
fuzz_seconds=0
while [ $# -gt 0 ]; do
    case "$1" in
        --bench) run_bench=1 ;;
        --sanitize) mode=sanitize ;;
        --fuzz)
            mode=fuzz
            fuzz_seconds="${2:-}"
            if ! [[ "$fuzz_seconds" =~ ^[0-9]+$ ]] || [ "$fuzz_seconds" -eq 0 ]; then
                echo "usage: $0 --fuzz SECONDS" >&2
                exit 2
            fi
            shift
            ;;
        *) echo "usage: $0 [--bench | --sanitize | --fuzz SECONDS]" >&2; exit 2 ;;
    esac
    shift
done
loudara_install_packages "${LOUDARA_BUILD_PACKAGES[@]}" "${LOUDARA_TEST_PACKAGES[@]}"

case "$mode" in
    tests)
        loudara_build -DLOUDARA_BUILD_TESTS=ON -DLOUDARA_BUILD_BENCH=ON
        ctest --test-dir "$LOUDARA_BUILD" --output-on-failure -j"$(nproc)"
        if [ "$run_bench" -eq 1 ]; then
            "$LOUDARA_BUILD/bench/loudara_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
            "$LOUDARA_BUILD/bench/meter_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
        fi
        ;;
    sanitize)
        build="$LOUDARA_ROOT/build-sanitize"
        cmake -S "$LOUDARA_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOUDARA_SANITIZE=ON \
              -DLOUDARA_BUILD_BENCH=OFF >/dev/null
        cmake --build "$build" -j"$(nproc)"
        # Leaks in the system's own libraries (fonts, the X and Qt platform layers) are not ours.
        export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
        export LSAN_OPTIONS="suppressions=$LOUDARA_ROOT/scripts/lsan_suppressions.txt:print_suppressions=0"
        export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
        ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 1500
        ;;
    fuzz)
        loudara_install_packages "${LOUDARA_FUZZ_PACKAGES[@]}"
        build="$LOUDARA_ROOT/build-fuzz"
        cmake -S "$LOUDARA_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 \
              -DCMAKE_CXX_COMPILER=clang++-14 -DLOUDARA_FUZZ=ON -DLOUDARA_BUILD_TESTS=OFF -DLOUDARA_BUILD_BENCH=OFF \
              >/dev/null
        targets=(wav mp3 id3v1 params playlist settings)
        cmake --build "$build" -j"$(nproc)" --target fuzz_make_seeds "${targets[@]/#/fuzz_}"
        rm -rf "$build/seeds"
        "$build/fuzz/fuzz_make_seeds" "$build/seeds"
        export ASAN_OPTIONS="detect_leaks=1"
        export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
        export TMPDIR="$build/tmp"  # the targets' scratch files stay in the build folder
        rm -rf "$TMPDIR"
        mkdir -p "$TMPDIR"
        failed=0
        for target in "${targets[@]}"; do
            corpus="$build/corpus/$target"
            mkdir -p "$corpus" "$build/findings/$target"
            log="$build/fuzz_$target.log"
            echo "fuzz_$target: ${fuzz_seconds} s"
            if "$build/fuzz/fuzz_$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
                   -max_len=65536 -print_final_stats=1 -artifact_prefix="$build/findings/$target/" \
                   "$corpus" "$build/seeds/$target" >"$log" 2>&1; then
                runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')
                echo "  $runs executions, no findings"
            else
                failed=1
                echo "  FOUND A FAULT: see $log and $build/findings/$target/"
                grep -E 'ERROR|SUMMARY|runtime error' "$log" | head -5 || true
            fi
        done
        exit "$failed"
        ;;
esac
