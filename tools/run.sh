#!/bin/sh
# Sets up, builds and runs talvo_rc with the bundled definition file. Extra arguments are passed
# on to talvo_rc (for example -S1 or -I<host>).
set -e
cd "$(dirname "$0")/.."
tools/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
exec build/talvo_rc -Dexamples/FNID.DEF "$@"
