#!/bin/sh
# Builds and runs the resume benchmark: a demo session with a clock as the VM's desktop program;
# the demo broker cuts the tunnel (closed), then, in a second round, stalls it. Prints
# "resume closed: <ms> ms" and "resume stalled: <ms> ms", each from the cut to the desktop drawn
# again in the same X server, and "same session: yes" when the VM's desktop program is the same
# process after both; then its targets (closed < 5 s, stalled < 30 s).
#
#   bench/run-resume-bench.sh [--verbose]
#
# The build goes to $ZEL_BENCH_BUILD_DIR (default: build-bench beside bench/), in Release mode
# when the folder is new; the client's and the broker's logs stay in its "resume" folder.
# Exit status: 0 when every target is met, 2 when one is missed, 1 on failure.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
build_dir=${ZEL_BENCH_BUILD_DIR:-$source_dir/build-bench}

for program in cmake Xvfb nxproxy nxagent xclock openssl; do
    if ! command -v "$program" >/dev/null 2>&1; then
        echo "run-resume-bench: $program is needed" >&2
        exit 1
    fi
done

# A folder configured before keeps its build type.
configure=""
[ -f "$build_dir/CMakeCache.txt" ] || configure="-DCMAKE_BUILD_TYPE=Release"
# shellcheck disable=SC2086 # empty when there is nothing to set
cmake -S "$source_dir" -B "$build_dir" $configure >/dev/null
cmake --build "$build_dir" --target zel-resume-bench zel-demo-broker zel-demo-slave-service -- -j"$(nproc)" >/dev/null

exec "$build_dir/bench/zel-resume-bench" \
    --broker "$build_dir/tools/demobroker/zel-demo-broker" \
    --slave-service "$build_dir/tools/demovm/zel-demo-slave-service" \
    --workdir "$build_dir/resume" \
    "$@"
