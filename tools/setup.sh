#!/bin/sh
# Installs what building and testing talvo_rc needs on a Debian machine (only what is missing;
# mandoc and man check the manual pages).
# Further package names given as arguments are installed too (the fuzz and Windows scripts use
# this for the fuzzer runtime, mingw-w64 and Wine). tshark reads the link traces in the tests.
set -e
PACKAGES="g++ cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev clang mandoc man-db nlohmann-json3-dev python3 tshark $*"
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
