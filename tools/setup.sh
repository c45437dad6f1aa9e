#!/bin/sh
# Installs, on a Debian machine, what a script of this folder needs, and only what is missing.
# Arguments are package names or one of these groups:
#   build  the compiler, CMake, Ninja and the JSON library: enough to build both programs
#   test   build, and GoogleTest, Google Benchmark (the micro-benchmarks are built with the tests),
#          mandoc and man (the manual pages are checked), python3 (tools/metrics.py) and tshark
#          (it reads the link traces in the tests)
# Each script names its own: run.sh build, test.sh test, fuzz.sh build and the fuzzer runtime,
# win.sh build and mingw-w64, Wine and the GoogleTest sources, format.sh clang-format only.
set -e
PACKAGES=""
for arg in "$@"; do
    case "$arg" in
    build) PACKAGES="$PACKAGES g++ cmake ninja-build nlohmann-json3-dev" ;;
    test)
        PACKAGES="$PACKAGES g++ cmake ninja-build nlohmann-json3-dev libgtest-dev libgmock-dev"
        PACKAGES="$PACKAGES libbenchmark-dev mandoc man-db python3 tshark"
        ;;
    *) PACKAGES="$PACKAGES $arg" ;;
    esac
done
[ -n "$PACKAGES" ] || { echo "usage: tools/setup.sh build|test|<package>..." >&2; exit 1; }
MISSING=""
for p in $PACKAGES; do
    dpkg -s "$p" >/dev/null 2>&1 || MISSING="$MISSING $p"
done
if [ -n "$MISSING" ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -q
    # tshark's package asks whether non-root users may capture; the answer here is no.
    echo "wireshark-common wireshark-common/install-setuid boolean false" |
        $SUDO debconf-set-selections
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends $MISSING
fi
