#!/bin/sh
# Runs every benchmark and prints one table of their targets: figure, measured value, target
# and whether it is met. Each benchmark's own report goes to a log file beside the table.
#
#   bench/run-all.sh [--quick]
#
# --quick runs smaller transfers and fewer runs, for a first look (the targets are set for the
# full runs). The benchmarks build into one Release folder, $ZEL_BENCH_BUILD_DIR (default:
# build-bench beside bench/). Exit status: 0 when every target is met, 2 when one is missed,
# 1 when a benchmark could not run.
set -u

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
build_dir=${ZEL_BENCH_BUILD_DIR:-$source_dir/build-bench}
export ZEL_BENCH_BUILD_DIR="$build_dir" ZEL_BENCH_APP_BUILD_DIR="$build_dir"
mkdir -p "$build_dir"

forwarder_args="--repeat 3"
app_args="--runs 10"
stall_args="--runs 5"
if [ "${1:-}" = --quick ]; then
    forwarder_args="--bytes 256 --slow-bytes 64 --pings 5000"
    app_args="--runs 3"
    stall_args="--runs 2"
fi

summary="$build_dir/bench-summary.tsv"
: >"$summary"
export ZEL_BENCH_SUMMARY="$summary"

status=0
run() {
    name=$1
    shift
    log="$build_dir/bench-$name.log"
    echo "running the $name benchmark (report in $log)" >&2
    "$@" >"$log" 2>&1
    code=$?
    if [ "$code" -eq 1 ] || ! grep -q "^$name	" "$summary"; then
        echo "the $name benchmark failed; its last lines:" >&2
        tail -n 15 "$log" >&2
        printf '%s\t%s\t%s\t%s\t%s\n' "$name" "(benchmark failed)" "-" "-" "MISSED" >>"$summary"
        status=1
    elif [ "$code" -ne 0 ] && [ "$status" -eq 0 ]; then
        status=2
    fi
}

# shellcheck disable=SC2086 # the argument lists are meant to split
run forwarder "$here/run-forwarder-bench.sh" $forwarder_args
# shellcheck disable=SC2086
run app "$here/run-app-bench.sh" $app_args
# shellcheck disable=SC2086
run stalls "$here/run-stall-bench.sh" $stall_args
run resume "$here/run-resume-bench.sh"
run share "$here/run-share-bench.sh"

# The USB ID list benchmark has no target: its figure is shown for information.
log="$build_dir/bench-usbids.log"
echo "running the usbids benchmark (report in $log)" >&2
if "$here/run-usbids-bench.sh" >"$log" 2>&1; then
    median=$(sed -n 's/.*median \([0-9.]*\).*/\1/p' "$log" | tail -n 1)
    printf '%s\t%s\t%s\t%s\t%s\n' usbids "loading usb.ids, median" "${median:-?} ms" "(none)" "-" >>"$summary"
else
    printf '%s\t%s\t%s\t%s\t%s\n' usbids "(benchmark failed)" "-" "-" "MISSED" >>"$summary"
    status=1
fi

echo
awk -F '\t' 'BEGIN { printf "%-10s %-48s %14s  %-12s %s\n", "benchmark", "figure", "measured", "target", "" }
             { printf "%-10s %-48s %14s  %-12s %s\n", $1, $2, $3, $4, $5 }' "$summary"
exit $status
