#!/bin/sh
# Builds and runs the SocketForwarder benchmark: the forwarder and socat each relay between
# loopback TCP and TLS; prints throughput, CPU time per GiB, added round-trip latency and the
# peak memory of the slow-reader cases.
#
#   bench/run-forwarder-bench.sh [options of "zel-forwarder-bench run"]
#   e.g. bench/run-forwarder-bench.sh --bytes 1024 --repeat 3
#
# The build goes to $ZEL_BENCH_BUILD_DIR (default: build-bench beside bench/), in Release mode.
# Exit status: 0 when every target is met, 2 when one is missed, 1 on failure.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
build_dir=${ZEL_BENCH_BUILD_DIR:-$source_dir/build-bench}

for program in socat openssl cmake; do
    if ! command -v "$program" >/dev/null 2>&1; then
        echo "run-forwarder-bench: $program is needed" >&2
        exit 1
    fi
done

cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" --target zel-forwarder-bench -- -j"$(nproc)" >/dev/null

exec "$build_dir/bench/zel-forwarder-bench" run "$@"
