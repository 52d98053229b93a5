#!/bin/sh
# Builds and runs the stall benchmark of ZEL_Client: in its own Xvfb, against the demo broker
# with one VM (tools/demobroker/desktop-demo.json), it starts the client with sound and a shared
# folder, presses Return (Connect), waits for the VM's first window, then disconnects from the
# tray icon's menu (a tray host runs on the screen) and waits until the client has ended every
# program of the session. A watch loaded into the
# client, a timer that measures its own lateness, notes each time the client's window thread
# was held up; every hold-up over 100 ms is a stall, when the window stops answering.
#
#   bench/run-stall-bench.sh [--runs N] [--verbose] [--keep]    (default: 10 runs)
#
# The build goes to $ZEL_BENCH_APP_BUILD_DIR (default: build-bench-app beside bench/), in
# Release mode. Exit status: 0 when there was no stall, 2 when there was one, 1 on failure.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
build_dir=${ZEL_BENCH_APP_BUILD_DIR:-$source_dir/build-bench-app}

for program in cmake Xvfb Xephyr xdotool trayer nxproxy nxagent xclock openssl pulseaudio pacat sox bwrap; do
    if ! command -v "$program" >/dev/null 2>&1; then
        echo "run-stall-bench: $program is needed" >&2
        exit 1
    fi
done

cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" --target ZEL_Client zel-demo-broker zel-demo-slave-service zel-app-bench \
    zel-stall-watch -- -j"$(nproc)" >/dev/null

# The client runs in its build folder, where its translations are.
exec "$build_dir/bench/app/zel-app-bench" \
    --stalls --stall-watch "$build_dir/bench/app/libzel-stall-watch.so" \
    --client "$build_dir/gui/ZEL_Client" \
    --broker "$build_dir/tools/demobroker/zel-demo-broker" \
    --config "$source_dir/tools/demobroker/desktop-demo.json" \
    --workdir "$build_dir" \
    "$@"
