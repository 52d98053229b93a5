#!/bin/sh
# Builds and runs the share benchmark: a session's real traffic through the client library,
# against the demo broker with a real nxagent. The VM reads a file from a shared folder with 16
# SFTP reads of 32 KiB in flight and copies it (the copy is checked byte for byte); prints
# "share read: <MB/s> MB/s", "client CPU: <s> s/GiB" (the client process, per GiB through the
# tunnel), "nxproxy CPU: <s> s/GiB", then, in the same run, the forwarder benchmark's bulk case
# as "bulk forwarder CPU: <s> s/GiB", and its small-pieces case for the forwarder and socat
# ("768-byte pieces, forwarder CPU: <s> s/GiB"); and for a VM desktop that redraws all the
# time, its traffic in bytes per second and the client's CPU per GiB. Target: the client's CPU
# per GiB on the copy at most 4 times the bulk figure.
#
#   bench/run-share-bench.sh [--size MiB] [--reads-in-flight N] [--bulk-size MiB] [--redraw-seconds S]
#                            [--verbose]      (default: 32 MiB, 16, 256 MiB, 5 s)
#
# The build goes to $ZEL_BENCH_BUILD_DIR (default: build-bench beside bench/), in Release mode
# when the folder is new; the client's and the broker's logs stay in its "share" folder.
# Exit status: 0 when every target is met, 2 when one is missed, 1 on failure.
set -eu

bench=run-share-bench
. "$(dirname "$0")/session-bench-build.sh"
bench_needs cmake Xvfb nxproxy nxagent bwrap openssl socat
bench_build zel-share-bench zel-forwarder-bench zel-demo-broker zel-demo-slave-service zel-demo-desktop

exec "$build_dir/bench/zel-share-bench" \
    --broker "$build_dir/tools/demobroker/zel-demo-broker" \
    --slave-service "$build_dir/tools/demovm/zel-demo-slave-service" \
    --desktop "$build_dir/tools/demovm/zel-demo-desktop" \
    --forwarder-bench "$build_dir/bench/zel-forwarder-bench" \
    --workdir "$build_dir/share" \
    "$@"
