#!/bin/sh
# Builds and runs the stall benchmark of ZEL_Client: in its own Xvfb, against the demo broker
# with one VM (tools/demobroker/desktop-demo.json), it starts the client with sound and a shared
# folder, presses Return (Connect), waits for the VM's first window, then disconnects from the
# tray icon's menu (a tray host runs on the screen) and waits until the client has ended every
# program of the session. A watch loaded into the client, a timer that measures its own
# lateness, notes each time the client's window thread was held up; every hold-up over 100 ms
# is a stall, when the window stops answering.
#
#   bench/run-stall-bench.sh [--runs N] [--verbose] [--keep]    (default: 10 runs)
#
# It runs the start-up and connection benchmark (bench/run-app-bench.sh, which builds into
# $ZEL_BENCH_APP_BUILD_DIR) in its stall mode. Exit status: 0 when there was no stall, 2 when
# there was one, 1 on failure.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
for program in trayer pulseaudio pacat sox bwrap; do
    if ! command -v "$program" >/dev/null 2>&1; then
        echo "run-stall-bench: $program is needed" >&2
        exit 1
    fi
done
exec "$here/run-app-bench.sh" --stalls "$@"
