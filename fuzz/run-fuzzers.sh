#!/bin/bash
# Builds the fuzz targets with clang and runs them at the lowest priority, a few at a time:
#
#   fuzz/run-fuzzers.sh [--time SECONDS] [--runs COUNT] [--jobs COUNT] [TARGET...]
#
# Each target stops after the time or the count, whichever comes first. Defaults: 60 seconds,
# two targets at a time, every target (httpresponse linebuffer nxproxystatus vmlist
# commandline usbids usbipexchange). Each starts from its seed corpus in fuzz/corpus/TARGET; what it learns goes to
# build-fuzz/corpus/TARGET, crashes to build-fuzz/crashes/TARGET. Prints one line per target
# with its executions and whether it crashed. Installs clang and the libFuzzer runtime from
# Debian when they are missing. Exit status: 0 when no target crashed.
set -u

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
build_dir=${ZEL_FUZZ_BUILD_DIR:-$source_dir/build-fuzz}
time_limit="-max_total_time=60"
runs_limit=""
jobs=2
targets=""
while [ $# -gt 0 ]; do
    case $1 in
    --time) time_limit="-max_total_time=$2"; shift 2 ;;
    --runs) runs_limit="-runs=$2"; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    -*) echo "usage: $0 [--time SECONDS] [--runs COUNT] [--jobs COUNT] [TARGET...]" >&2; exit 1 ;;
    *) targets="$targets $1"; shift ;;
    esac
done
[ -n "$targets" ] || targets="httpresponse linebuffer nxproxystatus vmlist commandline usbids usbipexchange"

missing=""
for package in clang libclang-rt-14-dev; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing="$missing $package"
done
if [ -n "$missing" ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "Installing:$missing" >&2
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing || exit 1
fi

cmake -S "$here" -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++ >/dev/null || exit 1
cmake --build "$build_dir" -j"$(nproc)" >/dev/null || { cmake --build "$build_dir" 2>&1 | tail -n 30; exit 1; }

# Leaks of a single input are left to the tests' sanitizer build, where they stop nothing
# else; filling new memory, holding much freed memory and recording deep allocation stacks
# only slow the search (a crash file, run again by hand, gives the full stacks).
export ASAN_OPTIONS=detect_leaks=0:max_malloc_fill_size=0:quarantine_size_mb=4:malloc_context_size=5

run_target() {
    target=$1
    program="$build_dir/fuzz_$target"
    corpus="$build_dir/corpus/$target"
    crashes="$build_dir/crashes/$target"
    log="$build_dir/fuzz_$target.log"
    mkdir -p "$corpus" "$crashes"
    nice -n 19 "$program" $time_limit $runs_limit -max_len=4096 -timeout=120 -artifact_prefix="$crashes/" -print_final_stats=1 \
        "$corpus" "$here/corpus/$target" >"$log" 2>&1
    code=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    if [ "$code" -eq 0 ]; then
        printf '%-14s %12s executions %8s/s  no crash\n' "$target" "${runs:-?}" "${speed:-?}"
    elif grep -q "libFuzzer: run interrupted" "$log"; then
        printf '%-14s %12s executions %8s/s  no crash, interrupted\n' "$target" "${runs:-?}" "${speed:-?}"
        return 1
    else
        printf '%-14s %12s executions %8s/s  CRASHED, see %s and %s\n' "$target" "${runs:-?}" "${speed:-?}" \
            "$log" "$crashes"
        return 1
    fi
}

# -timeout is generous: at the lowest priority on a busy machine a quick input can wait long
# for the processor.
# At most $jobs targets at once, one process each: more than the machine has cores only makes
# each of them slower.
status=0
running=0
for target in $targets; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n || status=1
        running=$((running - 1))
    fi
    run_target "$target" &
    running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
    wait -n || status=1
    running=$((running - 1))
done
exit $status
