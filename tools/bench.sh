#!/bin/sh
# Sets up, builds (optimised, in build-bench/) and runs the whole-program benchmark: processor
# share and wake-ups per second of each idle set-up (with picocom on a silent line as the reference),
# answer latency, and scripted calls per second against talvo_sim over TCP loopback, an unpaced
# pseudo-terminal and one paced at 115200 baud. Then the module micro-benchmarks (definition file,
# call encoding, display). TALVO_RC_BIN and TALVO_SIM_BIN name other builds to measure; with
# TALVO_BASELINE_RC_BIN and TALVO_BASELINE_SIM_BIN set, those are measured first in the same run.
set -e
cd "$(dirname "$0")/.."
tools/setup.sh build libbenchmark-dev picocom
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench
if [ -n "$TALVO_BASELINE_RC_BIN" ] && [ -n "$TALVO_BASELINE_SIM_BIN" ]; then
    echo "=== baseline"
    TALVO_RC_BIN="$TALVO_BASELINE_RC_BIN" TALVO_SIM_BIN="$TALVO_BASELINE_SIM_BIN" \
        build-bench/talvo_linkbench || true
    echo "=== this build"
fi
build-bench/talvo_linkbench
if [ -x build-bench/talvo_bench ]; then
    build-bench/talvo_bench
fi
