#!/bin/sh
# Builds and runs the USB ID list benchmark: how long UsbDatabase takes to load a usb.ids file
# (the system's by default). The window never waits for this: the list is read only when a
# device needs a name from it, after the window shows.
#
#   bench/run-usbids-bench.sh [path to usb.ids] [runs]
#
# The build goes to $ZEL_BENCH_BUILD_DIR (default: build-bench beside bench/), in Release mode.
# Exit status: 0 when the list was loaded, 1 on failure.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
build_dir=${ZEL_BENCH_BUILD_DIR:-$source_dir/build-bench}

cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" --target zel-usbids-bench -- -j"$(nproc)" >/dev/null

QT_LOGGING_RULES="*.debug=false;*.info=false" exec "$build_dir/bench/zel-usbids-bench" "$@"
