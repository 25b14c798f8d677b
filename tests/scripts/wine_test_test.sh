#!/usr/bin/env bash
# Every way a test program can end under Wine, through scripts/wine-test: only
# a run that reached its end passes, and a crash fails every time with a
# message that says so. RUNS repeats each crash (a crashed program's status
# under Wine is 0 or not by chance).
#   wine_test_test.sh          the rows through scripts/wine-test
#   wine_test_test.sh check    the same rows through the check kit's runner
#                              (check.exe --program), which must give each
#                              the same verdict without any Linux script
set -uo pipefail
mode=${1:-wine-test}
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
        if [ "$mode" = check ]; then
            seen=$(judged_by_check "$case")
            status=$?
            [ $status = 0 ] || [ "$seen" != passed ] || seen="passed with status $status"
            if [ "$seen" != "$verdict" ]; then
                echo "FAIL: $case, run $i of $n: check.exe said '$seen' (status $status), expected $verdict; its output:"
                head -n 30 "$work/out"
                failures=$((failures + 1))
                return
            fi
            continue
        fi
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

# The verdict check.exe gives one case, from a folder of its own; Wine's own
# notes of a crash (on the runner's standard error) are not what it judges by.
judged_by_check() {
    rm -rf "$work/run" && mkdir "$work/run"
    (cd "$work/run" && WINE_CRASH_NOTES="$work/notes" "$WINE_RUN" "$BIN_DIR/check.exe" --program "$program" \
        --filter "TestEnd.$1" --seconds 10 >"$work/out" 2>&1)
    local status=$?
    tr -d '\r' <"$work/out" | sed -n 's/^check: \(passed\|failed\|crashed\|unfinished\|timed out\): .*/\1/p' | tail -n 1
    return $status
}

# The ends both runners tell apart, each with its verdict.
every_end() {
    expect Passes passed
    expect FailsAnExpectation failed
    expect EndsWithoutItsSummary unfinished
    expect CrashesInsideATest crashed "$runs"
    expect CrashesOnAnotherThread crashed 3
    expect CrashesAfterItsSummary crashed 3
    expect StartsAProgramThatCrashes crashed 3
}

if [ "$mode" = check ]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    mkdir "$work/notes"
    runs=${RUNS:-5}
    every_end
    expect OutlastsItsTimeLimit "timed out"
    [ $failures = 0 ] || exit 1
    echo "check.exe: all cases passed"
    exit 0
fi

every_end
export -f quietly
export program
expect Passes passed 1 "passed$" bash -c 'quietly "$@"' quietly
expect CrashesInsideATest crashed 3 "passed$" bash -c 'quietly "$@"' quietly
[ $failures = 0 ] || exit 1
echo "wine-test: all cases passed"
