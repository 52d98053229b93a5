# Sourced by the session benchmarks' scripts (run-resume-bench.sh, run-share-bench.sh) after they
# set $bench (their name in messages): the programs they need, and their build into
# $ZEL_BENCH_BUILD_DIR (default: build-bench beside bench/).

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
build_dir=${ZEL_BENCH_BUILD_DIR:-$source_dir/build-bench}

# bench_needs PROGRAM...: ends the script when one is missing.
bench_needs() {
    for program in "$@"; do
        if ! command -v "$program" >/dev/null 2>&1; then
            echo "$bench: $program is needed" >&2
            exit 1
        fi
    done
}

# bench_build TARGET...: builds the targets, in Release mode when the folder is new; a folder
# configured before keeps its build type.
bench_build() {
    configure=""
    [ -f "$build_dir/CMakeCache.txt" ] || configure="-DCMAKE_BUILD_TYPE=Release"
    # shellcheck disable=SC2086 # empty when there is nothing to set
    cmake -S "$source_dir" -B "$build_dir" $configure >/dev/null
    cmake --build "$build_dir" --target "$@" -- -j"$(nproc)" >/dev/null
}
