#!/usr/bin/env bash
# The effect driver bound by ffhost --device to a plugged virtual controller:
# the controller itself receives the Motor Reports, 4 bytes each, 00 00 s s,
# the first and the last all zero; bench --device measures at the device.
set -uo pipefail
vc() { timeout 60 "$WINE_RUN" "$BIN_DIR/vcontroller.exe" "$@" | tr -d '\r'; }
ffhost() { timeout 120 "$WINE_RUN" "$BIN_DIR/ffhost.exe" "$@" | tr -d '\r'; }
id=7C4A:01F5
trap 'vc unplug $id >/dev/null 2>&1' EXIT
fail() { echo "FAIL: $*"; exit 1; }

vc unplug $id >/dev/null 2>&1
ffhost run --device $id --exec "release" >/dev/null 2>&1 && fail "ffhost bound to a controller that is not plugged in"
vc plug $id >/dev/null || fail "cannot plug $id"
out=$(ffhost run --device $id --exec "wait 50; download a constant magnitude=5000 start; wait 100; download b constant magnitude=5000 start; wait 100; release") ||
    fail "ffhost run --device failed: $out"
grep -q 'DeviceID(begin, \\\\?\\hid#vid_7c4a&pid_01f5' <<<"$out" || fail "not bound to the controller's HID interface: $out"
# Each line: arrival, kind, the bytes, the completion; NF - 3 bytes.
reports=$(vc reports $id | awk '$2 == "output" { print $3, $4, $5, $6, NF - 3 }')
[ -n "$reports" ] || fail "the controller received no output report"
vc reports $id | awk '!($NF ~ /^completed=/ && substr($NF, 11) + 0 >= $1 + 0) { exit 1 }' ||
    fail "a report not shown completed after its arrival: $(vc reports $id)"
echo "$reports" | awk '$5 != 4 { exit 1 }' || fail "a report that is not 4 bytes: $reports"
[ "$(echo "$reports" | head -n1)" = "00 00 00 00 4" ] || fail "the first report is not all zero: $reports"
[ "$(echo "$reports" | tail -n1)" = "00 00 00 00 4" ] || fail "the last report is not all zero: $reports"
grep -q "^00 00 7F 7F" <<<"$reports" || fail "no report of strength 127: $reports"
grep -q "^00 00 FF FF" <<<"$reports" || fail "no report of strength 255 (both effects): $reports"
# The host's own view of the reports is the controller's.
[ "$(echo "$out" | grep -c ' report ')" = "$(echo "$reports" | wc -l)" ] || fail "ffhost and the controller disagree"

out=$(ffhost bench --device $id --starts 20) || fail "bench --device failed: $out"
grep -q "start latency at the device 7C4A:01F5 over 20 starts" <<<"$out" || fail "no latency figure: $out"
echo "$out"
echo "ffhost --device: all cases passed"
