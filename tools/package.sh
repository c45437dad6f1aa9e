#!/bin/sh
# Builds the packages of talvo_rc with CPack (configuration: cmake/TalvoInstall.cmake):
#   build-pkg/dist/talvo-rc_<version>_<arch>.deb   a Release build with Debian's hardening flags,
#                                                   installed to /usr, dependencies computed by
#                                                   dpkg-shlibdeps;
#   build-win/dist/talvo_rc-<version>-win64.zip     both .exe files from the mingw-w64 build of
#                                                   tools/win.sh, the examples, a README and the
#                                                   manual as HTML.
# Usage: tools/package.sh [--deb-only] [--check]
#   --deb-only  only the Debian package
#   --check     then installs the package with apt-get, runs the installed programs, renders the
#               installed manual pages with man's warnings on, runs lintian (no error allowed),
#               removes the package again, and checks the zip's contents. CI runs this.
set -e
cd "$(dirname "$0")/.."
ROOT=$(pwd)
DEB_ONLY=0
CHECK=0
for arg in "$@"; do
    case "$arg" in
    --deb-only) DEB_ONLY=1 ;;
    --check) CHECK=1 ;;
    *)
        echo "usage: tools/package.sh [--deb-only] [--check]" >&2
        exit 2
        ;;
    esac
done

# dpkg-dev: dpkg-shlibdeps and dpkg-buildflags; lintian and man-db for the checks; unzip to list
# the zip.
tools/setup.sh build dpkg-dev fakeroot file lintian man-db mandoc unzip

fail() {
    echo "package.sh: $*" >&2
    exit 1
}

# --- Debian package ----------------------------------------------------------------------------
# Debian's own compiler and linker flags (hardening included); the preprocessor flags go with the
# compiler's, since CMake reads no CPPFLAGS. The printf-style helpers forward literal formats
# through a template, which -Wformat-security cannot see (as in the fuzz build).
BUILDFLAGS="DEB_BUILD_MAINT_OPTIONS=hardening=+all"
CXXFLAGS="$(env $BUILDFLAGS dpkg-buildflags --get CXXFLAGS) $(env $BUILDFLAGS dpkg-buildflags --get CPPFLAGS)"
CXXFLAGS="$CXXFLAGS -Wno-format-security"
LDFLAGS="$(env $BUILDFLAGS dpkg-buildflags --get LDFLAGS)"
cmake -S . -B build-pkg -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
    -DBUILD_TESTING=OFF -DTALVO_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$CXXFLAGS" -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" >/dev/null
cmake --build build-pkg
rm -rf build-pkg/dist
(cd build-pkg && cpack -G DEB >/dev/null) || fail "cpack -G DEB failed (build-pkg/_CPack_Packages)"
DEB=$(ls build-pkg/dist/talvo-rc_*.deb)
echo "package.sh: $DEB"
dpkg-deb --field "$DEB" Package Version Architecture Depends

# --- Windows zip -------------------------------------------------------------------------------
ZIP=""
if [ $DEB_ONLY -eq 0 ]; then
    tools/win.sh --build-only
    cmake --build build-win # also the HTML pages, which tools/win.sh does not build
    rm -rf build-win/dist
    (cd build-win && cpack -G ZIP >/dev/null) || fail "cpack -G ZIP failed (build-win/_CPack_Packages)"
    ZIP=$(ls build-win/dist/talvo_rc-*-win64.zip)
    echo "package.sh: $ZIP"
fi

[ $CHECK -eq 1 ] || exit 0

# --- checks ------------------------------------------------------------------------------------
VERSION=$(dpkg-deb --field "$DEB" Version)
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
cleanup() {
    if dpkg -s talvo-rc >/dev/null 2>&1; then
        $SUDO apt-get remove -y -q talvo-rc >/dev/null 2>&1 || true
    fi
}
trap cleanup EXIT INT TERM

echo "package.sh: lintian $DEB"
lintian --fail-on error --tag-display-limit 0 "$DEB" || fail "lintian found errors"

echo "package.sh: apt-get install ./$DEB"
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "$ROOT/$DEB" >/dev/null
dpkg -s talvo-rc | grep -q "^Status: install ok installed" || fail "talvo-rc is not installed"

# The installed programs, found on the PATH as a user would start them.
[ "$(command -v talvo_rc)" = /usr/bin/talvo_rc ] || fail "talvo_rc is not /usr/bin/talvo_rc"
OUT=$(talvo_rc --version) || fail "talvo_rc --version failed"
[ "$OUT" = "Talvo RC version $VERSION " ] || fail "talvo_rc --version printed '$OUT'"
echo "package.sh: talvo_rc --version: $OUT"
talvo_rc --help | grep -q "^Usage: talvo_rc " || fail "talvo_rc --help printed no usage text"
talvo_sim --help | grep -q "^Usage: talvo_sim " || fail "talvo_sim --help printed no usage text"
echo "package.sh: talvo_sim --help: usage text"
[ -f /usr/share/talvo_rc/examples/FNID.DEF ] || fail "no /usr/share/talvo_rc/examples/FNID.DEF"

# The manual pages, as man finds them by name, render without a single warning.
for page in talvo_rc talvo_sim; do
    FILE=$(man -w "$page") || fail "man finds no page $page"
    [ "$FILE" = "/usr/share/man/man1/$page.1.gz" ] || fail "man finds $page at $FILE"
    WARNINGS=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l "$FILE" 2>&1 >/dev/null)
    [ -z "$WARNINGS" ] || fail "man --warnings -l $FILE: $WARNINGS"
    MANWIDTH=80 LC_ALL=C.UTF-8 man -l "$FILE" 2>/dev/null | grep -q "EXIT STATUS" ||
        fail "man -l $FILE shows no EXIT STATUS section"
    gzip -dc "$FILE" | mandoc -T lint -W warning || fail "mandoc -T lint $FILE"
    echo "package.sh: man -l $FILE: no warnings"
done

echo "package.sh: apt-get remove talvo-rc"
DEBIAN_FRONTEND=noninteractive $SUDO apt-get remove -y -q talvo-rc >/dev/null
! dpkg -s talvo-rc 2>/dev/null | grep -q "^Status: install ok installed" || fail "talvo-rc still installed"
for file in /usr/bin/talvo_rc /usr/bin/talvo_sim /usr/share/man/man1/talvo_rc.1.gz \
    /usr/share/talvo_rc; do
    [ ! -e "$file" ] || fail "$file left after apt-get remove"
done

if [ -n "$ZIP" ]; then
    LIST=$(unzip -Z1 "$ZIP")
    TOP="talvo_rc-$VERSION-win64"
    for entry in talvo_rc.exe talvo_sim.exe README.txt examples/FNID.DEF examples/DEMO.SCR \
        talvo_rc.html talvo_sim.html; do
        echo "$LIST" | grep -qx "$TOP/$entry" || fail "$ZIP lacks $TOP/$entry"
    done
    echo "package.sh: $ZIP holds both programs, the examples, README.txt and the manual"
    # The zipped programs start (under Wine, in the prefix of tools/win.sh).
    rm -rf build-win/zip-check
    mkdir -p build-win/zip-check
    unzip -q "$ZIP" -d build-win/zip-check
    OUT=$(WINEPREFIX="$ROOT/build-win/wineprefix" WINEDEBUG=-all \
        timeout 120 wine "build-win/zip-check/$TOP/talvo_rc.exe" --version | tr -d '\r') ||
        fail "talvo_rc.exe --version from the zip failed"
    [ "$OUT" = "Talvo RC version $VERSION " ] || fail "talvo_rc.exe --version printed '$OUT'"
    WINEPREFIX="$ROOT/build-win/wineprefix" wineserver -k 2>/dev/null || true
    rm -rf build-win/zip-check
    echo "package.sh: talvo_rc.exe --version from the zip: $OUT"
fi
echo "package.sh: checks passed"
