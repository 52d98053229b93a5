#!/bin/sh
# Builds and runs the start-up and connection benchmark of ZEL_Client: in its own Xvfb, against
# the demo broker with one VM (tools/demobroker/desktop-demo.json), it starts the client
# repeatedly, times the login window, presses Return (Connect) and times every step up to the
# VM's first window drawn in the client's nested X server. Settings, logs and the accepted
# certificate live in a temporary folder, removed afterwards (kept on failure or with --keep).
#
#   bench/run-app-bench.sh [--runs N] [--verbose] [--keep]      (default: 10 runs)
#
# The build goes to $ZEL_BENCH_APP_BUILD_DIR (default: build-bench-app beside bench/), in
# Release mode. Exit status: 0 when every target is met, 2 when one is missed, 1 on failure.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
build_dir=${ZEL_BENCH_APP_BUILD_DIR:-$source_dir/build-bench-app}

for program in cmake Xvfb Xephyr xdotool nxproxy nxagent xclock openssl; do
    if ! command -v "$program" >/dev/null 2>&1; then
        echo "run-app-bench: $program is needed" >&2
        exit 1
    fi
done

cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" --target ZEL_Client zel-demo-broker zel-demo-slave-service zel-app-bench \
    zel-stall-watch -- -j"$(nproc)" >/dev/null

# The client runs in its build folder, where its translations are. The stall watch is loaded
# into it only with --stalls (bench/run-stall-bench.sh).
exec "$build_dir/bench/app/zel-app-bench" \
    --stall-watch "$build_dir/bench/app/libzel-stall-watch.so" \
    --client "$build_dir/gui/ZEL_Client" \
    --broker "$build_dir/tools/demobroker/zel-demo-broker" \
    --config "$source_dir/tools/demobroker/desktop-demo.json" \
    --workdir "$build_dir" \
    "$@"
