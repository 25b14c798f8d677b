#!/usr/bin/env bash
# vcontroller.exe's commands, exit codes and plain lines, with the drivers
# installed (the vcontroller fixture).
set -uo pipefail
run() { timeout 60 "$WINE_RUN" "$BIN_DIR/vcontroller.exe" "$@" 2>"$tmp/err" | tr -d '\r'; }
tmp=$(mktemp -d); trap 'run unplug 7C4A:01F4 >/dev/null; rm -rf "$tmp"' EXIT
failures=0
expect() { # expect CODE DESCRIPTION -- ARGS...
    local code=$1 what=$2; shift 3
    out=$(run "$@"); got=$?
    if [ "$got" != "$code" ]; then
        echo "FAIL: $what: vcontroller $* ended with $got, not $code ($out $(cat "$tmp/err"))"; failures=$((failures + 1))
    fi
}
expect 2 "no command" --
expect 2 "an unknown command" -- wiggle 7C4A:01F4
expect 2 "a malformed id" -- plug 7C4A-01F4
expect 2 "a length out of range" -- plug 7C4A:01F4 --output-length 1
expect 2 "an unknown option" -- plug 7C4A:01F4 --colour red
for bad in "" "input stall" "output wobble" "output delay" "output delay 0" "output delay 60001" "feature delay 20x" \
    "feature delay -5" "output none now"; do
    # shellcheck disable=SC2086 # the words are the arguments
    expect 2 "the fault '$bad'" -- fault 7C4A:01F4 $bad
done
expect 0 "install again" -- install
[[ $out == "drivers installed already" ]] || { echo "FAIL: install again said '$out'"; failures=$((failures + 1)); }
expect 1 "unplugging what is not plugged" -- unplug 7C4A:01F4
grep -q "no controller 7C4A:01F4 is plugged in" "$tmp/err" || { echo "FAIL: no message for a missing controller"; failures=$((failures + 1)); }
expect 1 "the reports of what is not plugged" -- reports 7C4A:01F4
expect 1 "the setting of what is not plugged" -- setting 7C4A:01F4
expect 1 "a fault for what is not plugged" -- fault 7C4A:01F4 output stall
expect 0 "plug" -- plug 7C4A:01F4
[[ $out == "plugged 7C4A:01F4 (output report 4 bytes, feature report 32 bytes) in "*" ms" ]] ||
    { echo "FAIL: plug said '$out'"; failures=$((failures + 1)); }
expect 1 "plugging it twice" -- plug 7C4A:01F4
expect 0 "the reports of a fresh controller" -- reports 7C4A:01F4
[ -z "$out" ] || { echo "FAIL: a fresh controller has reports: $out"; failures=$((failures + 1)); }
expect 0 "the setting of a fresh controller" -- setting 7C4A:01F4
[ "$out" = none ] || { echo "FAIL: a fresh controller's setting is '$out'"; failures=$((failures + 1)); }
for fault in "output stall" "feature delay 60000" "feature fail" "output none"; do
    # shellcheck disable=SC2086
    expect 0 "the fault '$fault'" -- fault 7C4A:01F4 $fault
    [[ $out == "fault 7C4A:01F4 $fault (held reports completed: 0)" ]] || { echo "FAIL: fault said '$out'"; failures=$((failures + 1)); }
done
expect 0 "unplug" -- unplug 7C4A:01F4
expect 1 "unplugging it twice" -- unplug 7C4A:01F4
[ "$failures" = 0 ] && echo "vcontroller command line: all cases passed"
exit $((failures > 0))
