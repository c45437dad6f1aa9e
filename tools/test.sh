#!/bin/sh
# Sets up, builds and runs every test. With --sanitize the build uses AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan/); with --release it is an optimised build
# (build-release/), where the compiler finds other warnings; otherwise a debug build (build/).
# Warnings are errors in all three.
set -e
cd "$(dirname "$0")/.."
tools/setup.sh test
BUILD=build
TYPE=Debug
EXTRA=""
case "$1" in
--sanitize)
    BUILD=build-asan
    EXTRA="-DTALVO_SANITIZE=ON -DTALVO_BENCH=OFF"
    ;;
--release)
    BUILD=build-release
    TYPE=Release
    EXTRA="-DTALVO_BENCH=OFF"
    ;;
esac
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=$TYPE -DTALVO_WERROR=ON $EXTRA
cmake --build "$BUILD"
cd "$BUILD"
ctest --output-on-failure -j2 --timeout 300
