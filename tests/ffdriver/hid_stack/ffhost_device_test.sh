#!/usr/bin/env bash
# The effect driver bound by ffhost --device to a plugged virtual controller:
# the controller itself receives the Motor Reports, 4 bytes each, 00 00 s s,
# the first and the last all zero, also from a controller that stalls, refuses
# or lags; bench --device measures at the device.
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

# A controller that stalls, refuses or lags: the strengths the controller
# took, each once in a row ("uniq"), from its log. Bytes are the fields
# between the kind and the completion.
taken() { vc reports $id | awk '$2 == "output" && $NF ~ /^completed=/ { print $5 }' | uniq | tr '\n' ' '; }
fresh() { vc unplug $id >/dev/null 2>&1; vc plug $id >/dev/null || fail "cannot plug $id"; vc fault $id output "$@" >/dev/null; }
# Waits until the controller has received n output reports.
received() { for _ in $(seq 100); do [ "$(vc reports $id | grep -c ' output ')" -ge "$1" ] && return; sleep 0.05; done; }
tmp=$(mktemp -d)

# The first write stalls, and not even its cancellation ends it (Wine's HID
# class driver does not pass it on): the changes after it and the last report
# still reach the controller once it takes writes again.
fresh stall
ffhost run --device $id --exec "wait 3000; download a constant magnitude=8000 start; wait 100; download a constant magnitude=4000; wait 100; download a constant magnitude=2000; wait 200; release" >"$tmp/stall.txt" 2>&1 &
received 1
sleep 0.3 # past the write's bound and its cancellation's
vc fault $id output none >/dev/null
wait $!
[ "$(taken)" = "00 CC 66 33 00 " ] || fail "after a stalled first write the controller took $(taken), not 00 CC 66 33 00: $(vc reports $id)"

# Refused while out of range, then back: the strength of the mix arrives
# without another change of it, and the refusals were paced, not spun.
fresh fail
ffhost run --device $id --exec "download c constant magnitude=5000 start; wait 2500; release" >"$tmp/fail.txt" 2>&1 &
received 3
vc fault $id output none >/dev/null
wait $!
[ "$(taken)" = "7F 00 " ] || fail "after refusals the controller took $(taken), not 7F 00: $(vc reports $id)"
refused=$(vc reports $id | grep -c ' failed=')
echo "refused writes while the controller failed: $refused"
[ "$refused" -lt 200 ] || fail "$refused refused writes: the thread does not pace itself"

# A slow controller, 20 ms a report: one write in flight at a time, and the
# strength after the last change arrives before the last report.
fresh delay 20
ffhost run --device $id --exec "wait 50; download a constant magnitude=8000 start; wait 5; download a constant magnitude=4000; wait 5; download a constant magnitude=2000; wait 300; release" >"$tmp/delay.txt" 2>&1 ||
    fail "ffhost with a slow controller: $(cat "$tmp/delay.txt")"
[[ "$(taken)" == *"33 00 " ]] || fail "the slow controller took $(taken), not the last strength 33 before 00"
vc reports $id | awk '$2 == "output" { if ($1 + 0 < done) exit 1; done = substr($NF, 11) + 0 }' ||
    fail "a report arrived before the one before it was completed: $(vc reports $id)"
rm -rf "$tmp"

out=$(ffhost bench --device $id --starts 20) || fail "bench --device failed: $out"
grep -q "start latency at the device 7C4A:01F5 over 20 starts" <<<"$out" || fail "no latency figure: $out"
echo "$out"
echo "ffhost --device: all cases passed"
