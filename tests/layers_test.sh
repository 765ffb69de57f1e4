#!/usr/bin/env bash
# The floors of src/ (cmake/LoudaraLayers.cmake): no file includes from a folder above its own or
# from another front end, every folder builds its own target, and the build itself refuses an
# upward include.
#   layers_test.sh SOURCE_DIR BUILD_DIR
set -u
root="$(cd "$1" && pwd)"
build="$(cd "$2" && pwd)"
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

read -r -a floors <<<"$(sed -n 's/^set(LOUDARA_FLOORS \(.*\))$/\1/p' "$root/cmake/LoudaraLayers.cmake")"
[ ${#floors[@]} -ge 7 ] || { echo "FAIL no floors read from cmake/LoudaraLayers.cmake"; exit 1; }

# The folders FOLDER may include from, its own among them.
allowed() {
    local folder="$1" floor out=()
    case "$folder" in
        processor | base) echo "$folder"; return ;;
        plugins) echo "processor plugins"; return ;;  # a host loads the chain and nothing else
    esac
    for floor in "${floors[@]}"; do
        out+=("$floor")
        [ "$floor" = "$folder" ] && { echo "${out[*]}"; return; }
    done
    echo "${floors[*]} $folder"  # a front end: every floor and itself
}

for dir in "$root"/src/*/; do
    folder="$(basename "$dir")"
    [ -f "$dir/CMakeLists.txt" ] || fail "src/$folder has no CMakeLists.txt of its own"
    grep -qE '^(add_library|add_executable)\(' "$dir/CMakeLists.txt" || fail "src/$folder builds no target"
    read -r -a ok <<<"$(allowed "$folder")"
    while IFS=: read -r file line text; do
        target="$(sed -E 's/^#include "([^/"]+)\/.*/\1/' <<<"$text")"
        found=0
        for f in "${ok[@]}"; do [ "$f" = "$target" ] && found=1; done
        [ "$found" -eq 1 ] || fail "${file#"$root"/}:$line includes from $target/, above src/$folder"
    done < <(grep -nE '^#include "[^/"]+/' "$dir"*.h "$dir"*.cpp 2>/dev/null | sed -E 's/^([^:]+):([0-9]+):/\1:\2:/')
done

# The build gives each target a view of the folders it may see, and nothing else: the export
# job's library cannot reach the streaming logic, the processor cannot reach the files.
probe() {  # probe TARGET HEADER: does HEADER compile in TARGET's view?
    printf '#include "%s"\n' "$2" | c++ -std=c++20 -fsyntax-only -I"$build/layers/$1" -x c++ - 2>/dev/null
}
probe loudara_files files/export_job.h || fail "files/export_job.h does not compile in the files library's view"
probe loudara_files audio/streaming.h && fail "the files library's view reaches audio/streaming.h"
probe loudara_processor base/song_record.h && fail "the processor's view reaches base/"
probe loudara_persistence app/app_state.h && fail "the persistence library's view reaches app/"
probe loudara-cli ui/skin.h && fail "the command-line tool's view reaches ui/"
probe loudara_ladspa processor/processor.h || fail "processor/processor.h does not compile in the plugin's view"
probe loudara_ladspa persistence/parameter_file.h && fail "the plugin's view reaches persistence/"
probe loudara_ladspa base/host.h && fail "the plugin's view reaches base/"

[ "$failures" -eq 0 ] && echo "layers: all checks passed"
exit $((failures > 0))
