#!/usr/bin/env bash
# Every way a test program can end under Wine, through scripts/wine-test: only
# a run that reached its end passes, and a crash fails every time with a
# message that says so. RUNS repeats each crash (a crashed program's status
# under Wine is 0 or not by chance).
set -uo pipefail
wine_test="$(cd "$(dirname "$0")/../../scripts" && pwd)/wine-test"
program=$BIN_DIR/test_end_tests.exe
runs=${RUNS:-20}
failures=0

# A script that runs the program with its output thrown away, then reports
# that it passed.
quietly() {
    "$WINE_RUN" "$program" "$@" >/dev/null 2>&1
    echo "quietly: passed"
}

# expect CASE VERDICT [RUNS [RESULT COMMAND...]]: runs the program's case CASE
# (by default as a GoogleTest program); VERDICT is passed, crashed,
# unfinished or failed.
expect() {
    local case=$1 verdict=$2 n=${3:-1} out status seen i
    local -a run=(gtest "$WINE_RUN" "$program")
    [ $# -gt 3 ] && run=("${@:4}")
    for ((i = 1; i <= n; i++)); do
        out=$("$wine_test" "${run[@]}" --gtest_filter="TestEnd.$case" 2>&1)
        status=$?
        if [ $status = 0 ]; then seen=passed
        elif grep -q '^wine-test: CRASHED: ' <<<"$out"; then seen=crashed
        elif grep -q "^wine-test: FAILED: status 0 without the test's report" <<<"$out"; then seen=unfinished
        else seen=failed
        fi
        if [ "$seen" != "$verdict" ]; then
            echo "FAIL: $case, run $i of $n: $seen (status $status), expected $verdict; its output:"
            echo "$out" | grep -v '^0x\|^ \|^\t' | head -n 30
            failures=$((failures + 1))
            return
        fi
    done
    echo "$case: $verdict in $n of $n runs"
}

expect Passes passed
expect FailsAnExpectation failed
expect EndsWithoutItsSummary unfinished
expect CrashesInsideATest crashed "$runs"
expect CrashesOnAnotherThread crashed 3
expect CrashesAfterItsSummary crashed 3
expect StartsAProgramThatCrashes crashed 3
export -f quietly
export program
expect Passes passed 1 "passed$" bash -c 'quietly "$@"' quietly
expect CrashesInsideATest crashed 3 "passed$" bash -c 'quietly "$@"' quietly
[ $failures = 0 ] || exit 1
echo "wine-test: all cases passed"
