#!/bin/sh
# Sets up and builds talvo_rc and its unit simulator, starts talvo_sim in the background and
# talvo_rc in the foreground against it, and stops the simulator when the tool exits.
#   tools/run.sh           TCP/IP over the loopback (talvo_rc -I127.0.0.1, Oip protocol)
#   tools/run.sh --serial  a simulated serial line (pseudo-terminal) with the Full protocol
# Further arguments are passed on to talvo_rc.
set -e
cd "$(dirname "$0")/.."
tools/setup.sh build
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build

LINK=tcp
if [ "$1" = "--serial" ]; then
    LINK=serial
    shift
fi
SIMLOG=$(mktemp /tmp/talvo_sim.XXXXXX)
if [ "$LINK" = serial ]; then
    build/talvo_sim --pty --protocol full -D examples/FNID.DEF >"$SIMLOG" 2>&1 &
else
    build/talvo_sim --tcp -D examples/FNID.DEF >"$SIMLOG" 2>&1 &
fi
SIM=$!
# Under set -e a failing kill (the simulator already ended) would end the trap before its rm.
cleanup() {
    kill $SIM 2>/dev/null || true
    wait $SIM 2>/dev/null || true
    rm -f "$SIMLOG"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Wait until the simulator is ready (its pty line, or its listening line).
i=0
until grep -q '^pty: \|^listening' "$SIMLOG" 2>/dev/null; do
    i=$((i + 1))
    if [ $i -gt 100 ] || ! kill -0 $SIM 2>/dev/null; then
        echo "talvo_sim did not start:" >&2
        cat "$SIMLOG" >&2
        exit 1
    fi
    sleep 0.05
done
echo "talvo_sim is running; its messages are in $SIMLOG"

if [ "$LINK" = serial ]; then
    PTY=$(sed -n 's/^pty: //p' "$SIMLOG")
    TALVO_RC_COM2="$PTY" build/talvo_rc -Dexamples/FNID.DEF -S2 -PF "$@"
else
    build/talvo_rc -Dexamples/FNID.DEF -I127.0.0.1 "$@"
fi
