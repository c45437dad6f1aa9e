#!/bin/sh
# Windows build, tested under Wine. Installs mingw-w64 and Wine when missing, cross-builds
# talvo_rc.exe, talvo_sim.exe and talvo_unit_tests.exe into build-win/, and runs under Wine (with a
# private prefix in build-win/wineprefix):
#   1. every unit test;
#   2. a script of calls from talvo_rc.exe -I127.0.0.1:<port> to the Linux talvo_sim --tcp on a
#      free port;
#   3. commands piped to the standard input of talvo_rc.exe;
#   4. the same script over a serial line with the Full protocol: Wine's COM1 is the
#      pseudo-terminal of the Linux talvo_sim --pty.
# The calls are checked through the response file. Usage: tools/win.sh [--build-only]
set -e
cd "$(dirname "$0")/.."
ROOT=$(pwd)
START=$(date +%s)

# --- tools -------------------------------------------------------------------------------------
tools/setup.sh build g++-mingw-w64-x86-64-posix wine wine64 googletest

# --- builds ------------------------------------------------------------------------------------
# The Linux simulator is the unit at the other end of every link.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTALVO_WERROR=ON >/dev/null
cmake --build build --target talvo_sim
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Debug -DTALVO_BENCH=OFF -DTALVO_WERROR=ON >/dev/null
cmake --build build-win --target talvo_rc talvo_sim talvo_unit_tests
echo "win.sh: built in $(($(date +%s) - START)) s"
[ "$1" = "--build-only" ] && exit 0

# --- Wine --------------------------------------------------------------------------------------
WINEPREFIX="$ROOT/build-win/wineprefix"
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
fi
SIM=""
SIMLOG=""
cleanup() {
    [ -n "$SIM" ] && kill "$SIM" 2>/dev/null && wait "$SIM" 2>/dev/null
    wineserver -k 2>/dev/null || true
    return 0
}
trap cleanup EXIT INT TERM

echo "win.sh: unit tests under Wine"
(cd build-win && timeout 600 wine ./talvo_unit_tests.exe --gtest_brief=1)

E2E="$ROOT/build-win/e2e"
rm -rf "$E2E"
mkdir -p "$E2E"
DEF="$ROOT/examples/FNID.DEF"
# The link comes up while the script pauses; calls before it would wait for it.
CALLS="PAUSE 1
GETVERSION
SETOUTPUT 3 1
READLOG 5 2"

# Starts the Linux simulator with the given options and waits for its ready line.
start_sim() {
    SIMLOG="$E2E/sim-$1.log"
    shift
    build/talvo_sim "$@" -D "$DEF" >"$SIMLOG" 2>&1 &
    SIM=$!
    i=0
    until grep -q '^pty: \|^listening' "$SIMLOG" 2>/dev/null; do
        i=$((i + 1))
        if [ $i -gt 200 ] || ! kill -0 "$SIM" 2>/dev/null; then
            echo "talvo_sim did not start:" >&2
            cat "$SIMLOG" >&2
            exit 1
        fi
        sleep 0.05
    done
}

stop_sim() {
    kill "$SIM" 2>/dev/null || true
    wait "$SIM" 2>/dev/null || true
    SIM=""
}

# Fails unless the lines given after the file name follow each other in the file (CR LF or LF).
expect_lines() {
    file=$1
    shift
    tr -d '\r' <"$file" >"$file.lf"
    for line in "$@"; do echo "$line"; done >"$file.want"
    if ! awk 'NR == FNR { want[n++] = $0; next }
              { have[m++] = $0 }
              END { for (i = 0; i + n <= m; i++) { for (j = 0; j < n && have[i + j] == want[j]; j++);
                                                   if (j == n) exit 0 }
                    exit 1 }' "$file.want" "$file.lf"; then
        echo "win.sh: $file lacks:" >&2
        cat "$file.want" >&2
        echo "--- $file:" >&2
        cat "$file.lf" >&2
        exit 1
    fi
}

# Runs talvo_rc.exe in build-win/e2e with a script that writes NAME.RES; true when it ended in time.
run_tool() {
    name=$1
    shift
    printf 'RESFILE %s.RES\n%s\nEXIT\n' "$name" "$CALLS" >"$E2E/$name.SCR"
    rm -f "$E2E/$name.RES"
    (cd "$E2E" && timeout 40 wine "$ROOT/build-win/talvo_rc.exe" "$@" -D"$DEF" "$name.SCR" \
        </dev/null >"$name.out" 2>&1)
}

# Fails unless NAME.RES holds every answer.
check_answers() {
    res="$E2E/$1.RES"
    expect_lines "$res" "FnId    : 0x0001,  GETVERSION,  OutStruc={ S16 W3  }" "Error   : 0x0000" \
        " String   : SIM0            "
    expect_lines "$res" "FnId    : 0x0010,  SETOUTPUT,  OutStruc={ B B  }" "Error   : 0x0000" \
        " BYTE     : 3 " " BYTE     : 1 "
    expect_lines "$res" "FnId    : 0x0031,  READLOG,  OutStruc={ W B (D H W)4  }" \
        "Error   : 0x0000" " WORD     : 5 " " BYTE     : 2 "
    echo "win.sh: $1: every answer in $1.RES"
}

echo "win.sh: talvo_rc.exe -I127.0.0.1:<port> against talvo_sim --tcp --port 0"
start_sim tcp --tcp --port 0
PORT=$(sed -n 's/^listening on TCP port \([0-9]*\).*/\1/p' "$SIMLOG")
run_tool TCP -I127.0.0.1:"$PORT" || {
    echo "win.sh: talvo_rc.exe -I127.0.0.1:$PORT failed:" >&2
    tail -n 60 "$E2E/TCP.out" >&2
    cat "$SIMLOG" >&2
    exit 1
}
# Commands on standard input from a pipe (Wine cannot peek into it: the console layer reads it
# in a thread of its own), ending with EXIT.
echo "win.sh: talvo_rc.exe with its commands piped to standard input"
if ! (cd "$E2E" && printf 'HELP\r\nEXIT\r\n' |
    timeout 40 wine "$ROOT/build-win/talvo_rc.exe" -I127.0.0.1 -D"$DEF" >PIPE.out 2>&1) ||
    ! grep -q 'remote functions' "$E2E/PIPE.out"; then
    echo "win.sh: talvo_rc.exe did not take its commands from the pipe:" >&2
    tail -n 30 "$E2E/PIPE.out" >&2
    exit 1
fi
stop_sim
check_answers TCP

echo "win.sh: talvo_rc.exe -S1 -PF against talvo_sim --pty (Wine's COM1)"
start_sim pty --pty --protocol full
PTY=$(sed -n 's/^pty: //p' "$SIMLOG")
# Wine rebuilds dosdevices/com1 from this key whenever it starts, so both name the pty.
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$PTY" /f >/dev/null 2>&1
wineserver -w
ln -sfn "$PTY" "$WINEPREFIX/dosdevices/com1"
run_tool SER -S1 -PF || {
    echo "win.sh: talvo_rc.exe -S1 -PF failed:" >&2
    tail -n 60 "$E2E/SER.out" >&2
    cat "$SIMLOG" >&2
    exit 1
}
stop_sim
check_answers SER

echo "win.sh: passed in $(($(date +%s) - START)) s"
