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

bench=run-resume-bench
. "$(dirname "$0")/session-bench-build.sh"
bench_needs cmake Xvfb nxproxy nxagent xclock openssl
bench_build zel-resume-bench zel-demo-broker zel-demo-slave-service

exec "$build_dir/bench/zel-resume-bench" \
    --broker "$build_dir/tools/demobroker/zel-demo-broker" \
    --slave-service "$build_dir/tools/demovm/zel-demo-slave-service" \
    --workdir "$build_dir/resume" \
    "$@"
