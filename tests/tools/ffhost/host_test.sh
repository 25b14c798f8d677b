#!/usr/bin/env bash
# ffhost.exe end to end under Wine, one case per call:
#   host_test.sh help | bad-script | run-dll | run-com | bench
# Needs WINE_RUN (the wine wrapper) and BIN_DIR (the build's bin folder).
set -euo pipefail
case_name=${1:?case}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
host() { "$WINE_RUN" "$BIN_DIR/ffhost.exe" "$@"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

# The reports of a CSV must be well formed, begin and end with strength 0 and
# carry the strength given.
check_csv() {
    local csv=$1 strength=$2
    [ "$(head -n1 "$csv" | tr -d '\r')" = "time_ms,strength,byte0,byte1,byte2,byte3,size,binding" ] ||
        fail "CSV header: $(head -n1 "$csv")"
    tail -n +2 "$csv" | tr -d '\r' | awk -F, -v want="$strength" '
        { rows++; if ($3 != 0 || $4 != 0 || $5 != $2 || $6 != $2 || $7 != 4) bad++
          if (rows == 1) first = $2; last = $2; if ($2 == want) seen++ }
        END { if (rows < 3 || bad || first != 0 || last != 0 || !seen) {
                  printf "rows %d, malformed %d, first %s, last %s, strength %s seen %d\n", rows, bad, first, last, want, seen
                  exit 1 } }' || fail "CSV $csv"
}

script='wait 50; download a constant magnitude=5000 start; wait 100; download b constant magnitude=5000 start; wait 100; release'

case "$case_name" in
help)
    host --help >out.txt
    grep -q '^Usage:' out.txt || fail "no usage"
    grep -q 'download NAME TYPE' out.txt || fail "no script syntax"
    ;;
bad-script)
    status=0
    host run --exec 'download a constant; strat a' >out.txt 2>err.txt || status=$?
    [ "$status" = 2 ] || fail "exit code $status for a bad script"
    grep -q "line 1: unknown statement 'strat'" err.txt || fail "message: $(cat err.txt)"
    [ ! -s out.txt ] || fail "a bad script ran: $(cat out.txt)"
    status=0
    host run --script no-such-file.txt 2>err.txt || status=$?
    [ "$status" = 2 ] || fail "exit code $status for a missing script"
    status=0
    host frobnicate 2>err.txt || status=$?
    [ "$status" = 2 ] || fail "exit code $status for an unknown command"
    ;;
run-dll)
    printf '%s\n' "$script" | tr ';' '\n' >script.txt
    host run --script script.txt --csv out.csv >out.txt || fail "run: $(cat out.txt)"
    check_csv out.csv 255
    grep -q 'download a type constant flags 0x200003FF -> S_OK, handle 1' out.txt || fail "timeline: $(cat out.txt)"
    grep -q 'report 00 00 7F 7F  strength 127' out.txt || fail "timeline lacks 7F"
    grep -q 'device closed (binding 1)' out.txt || fail "timeline lacks the close"
    grep -q '4 reports, 0 malformed' out.txt || fail "summary: $(tail -n1 out.txt)"
    ;;
run-com)
    host register >out.txt || fail "register: $(cat out.txt)"
    status=0
    host run --com --exec "$script" --csv out.csv >out.txt || status=$?
    host unregister || fail "unregister"
    [ "$status" = 0 ] || fail "run --com: $(cat out.txt)"
    check_csv out.csv 255
    status=0
    host run --com --exec "$script" >out.txt 2>err.txt || status=$?
    [ "$status" = 1 ] || fail "exit code $status without registration"
    grep -q 'REGDB_E_CLASSNOTREG' err.txt || fail "message: $(cat err.txt)"
    ;;
bench)
    host bench --starts 5 --releases 2 --idle-seconds 1 --play-seconds 1 >out.txt || fail "bench: $(cat out.txt)"
    grep -q '^size of the driver DLL: [0-9]* bytes' out.txt || fail "no size: $(cat out.txt)"
    grep -q '^start latency over 5 starts' out.txt || fail "no latency: $(cat out.txt)"
    grep -q '^idle CPU' out.txt || fail "no idle CPU: $(cat out.txt)"
    grep -q '^while a sine of period 250 ms plays' out.txt || fail "no cycle figures: $(cat out.txt)"
    grep -q '^while a constant force plays' out.txt || fail "no constant force figures: $(cat out.txt)"
    grep -q '^final Release with a controller that stopped reading' out.txt || fail "no stalled release: $(cat out.txt)"
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
echo "$case_name: passed"
