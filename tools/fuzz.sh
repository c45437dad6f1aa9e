#!/bin/sh
# Builds the libFuzzer targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer) into
# build-fuzz/ and runs each for SECONDS (default 60), two at a time, starting from the seed
# corpus in fuzz/corpus/<target>/ (copied, so the committed seeds stay as they are). Prints the
# executions each target reached; fails when any target finds a crash, a leak, a hang of more
# than 10 s or a sanitizer report. Findings are written to build-fuzz/artifacts/.
#   usage: tools/fuzz.sh [SECONDS] [TARGET...]   (targets: the names below, without fuzz_)
set -e
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-60}
[ $# -gt 0 ] && shift
TARGETS=${*:-"deffile rfc json cmd trmedit hostport rsm_full rsm_simple rsm_terminal ipm_oip ipm_multi ipm_terminal"}

# The fuzzer runtime of clang is only recommended by the clang package: ask for it by name.
tools/setup.sh build clang libclang-rt-dev

BUILD="$(pwd)/build-fuzz" # absolute: a target may change its working directory
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTALVO_FUZZ=ON -DTALVO_BENCH=OFF -DBUILD_TESTING=OFF -DTALVO_WERROR=ON >/dev/null
cmake --build "$BUILD" --target talvo_fuzz

RESULTS="$BUILD/results"
rm -rf "$RESULTS"
mkdir -p "$RESULTS" "$BUILD/artifacts"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export ASAN_OPTIONS="detect_leaks=1"

# Runs one target; leaves its log and its exit status in $RESULTS.
run_one() {
    corpus="$BUILD/corpus/$1"
    rm -rf "$corpus"
    mkdir -p "$corpus"
    cp fuzz/corpus/"$1"/* "$corpus"/
    status=0
    "$BUILD/fuzz_$1" -max_total_time="$SECONDS_EACH" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$BUILD/artifacts/$1-" "$corpus" >"$RESULTS/$1.log" 2>&1 || status=$?
    echo "$status" >"$RESULTS/$1.status"
}

set -- $TARGETS
while [ $# -gt 0 ]; do
    run_one "$1" &
    if [ $# -gt 1 ]; then
        run_one "$2" &
        shift
    fi
    shift
    wait
done

FAILED=0
for target in $TARGETS; do
    status=$(cat "$RESULTS/$target.status")
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$RESULTS/$target.log" | tail -n 1)
    if [ "$status" -eq 0 ] && ! grep -q -E "ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:" "$RESULTS/$target.log"; then
        printf '%-14s %10s executions in %ss: ok\n' "$target" "${runs:-?}" "$SECONDS_EACH"
    else
        printf '%-14s %10s executions in %ss: FAILED (exit %s)\n' "$target" "${runs:-?}" \
            "$SECONDS_EACH" "$status"
        grep -E "ERROR:|SUMMARY:|runtime error:|Test unit written" "$RESULTS/$target.log" | head -n 8
        FAILED=1
    fi
done
if [ "$FAILED" -ne 0 ]; then
    echo "fuzzing found faults; logs in $RESULTS, inputs in $BUILD/artifacts" >&2
    exit 1
fi
