#!/bin/sh
# Sets up, builds (optimised, in build-bench/) and runs the whole-program benchmark: idle
# processor share of talvo_rc with a TCP and a serial link open, and scripted calls per second
# against talvo_sim over TCP loopback, an unpaced pseudo-terminal and one paced at 115200 baud.
# Then the module micro-benchmarks (definition file, call encoding, display).
set -e
cd "$(dirname "$0")/.."
tools/setup.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench
build-bench/talvo_linkbench
if [ -x build-bench/talvo_bench ]; then
    build-bench/talvo_bench
fi
