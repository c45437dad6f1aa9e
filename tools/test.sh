#!/bin/sh
# Sets up, builds and runs every test. With --sanitize the build uses AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan/), otherwise a normal debug build (build/).
set -e
cd "$(dirname "$0")/.."
tools/setup.sh
BUILD=build
EXTRA=""
if [ "$1" = "--sanitize" ]; then
    BUILD=build-asan
    EXTRA="-DTALVO_SANITIZE=ON -DTALVO_BENCH=OFF"
fi
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug $EXTRA
cmake --build "$BUILD"
cd "$BUILD"
ctest --output-on-failure -j2 --timeout 300
