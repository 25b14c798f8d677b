#!/usr/bin/env bash
# Controllers whose output report is not the Motor Report's 4 bytes: the
# effect driver refuses a shorter one at DeviceID (E_FAIL, nothing written)
# and pads its reports with zeros to a longer one's length.
set -uo pipefail
vc() { timeout 60 "$WINE_RUN" "$BIN_DIR/vcontroller.exe" "$@" | tr -d '\r'; }
ffhost() { timeout 120 "$WINE_RUN" "$BIN_DIR/ffhost.exe" "$@" 2>&1 | tr -d '\r'; }
short=7C4A:01FB long=7C4A:01FC
trap 'vc unplug $short >/dev/null 2>&1; vc unplug $long >/dev/null 2>&1' EXIT
fail() { echo "FAIL: $*"; exit 1; }
play="wait 50; download a constant magnitude=5000 start; wait 100; release"

vc unplug $short >/dev/null 2>&1; vc unplug $long >/dev/null 2>&1
vc plug $short --output-length 3 >/dev/null || fail "cannot plug $short"
out=$(ffhost run --device $short --exec "$play") && fail "DeviceID succeeded on a 3-byte output report: $out"
grep -q "DeviceID failed: E_FAIL" <<<"$out" || fail "not E_FAIL at DeviceID: $out"
[ -z "$(vc reports $short | awk '$2 == "output"')" ] || fail "reports went to a controller the driver refused"

vc plug $long --output-length 8 >/dev/null || fail "cannot plug $long"
out=$(ffhost run --device $long --exec "$play") || fail "ffhost run on an 8-byte output report failed: $out"
# The bytes: every field between the kind and the completion.
reports=$(vc reports $long | awk '$2 == "output" { s = $3; for (i = 4; i < NF; ++i) s = s " " $i; print s }')
[ -n "$reports" ] || fail "no report at the controller with the 8-byte output report"
grep -qvE '^00 00 ([0-9A-F]{2}) \1 00 00 00 00$' <<<"$reports" && fail "reports not padded to 8 bytes: $reports"
grep -q "^00 00 7F 7F 00 00 00 00$" <<<"$reports" || fail "no padded report of strength 127: $reports"
echo "report lengths: all cases passed"
