#!/usr/bin/env bash
# A controller pulled out while an effect plays: the game's process goes on,
# its driver's thread stays paced (the host's CPU time stays far below a
# spinning thread's), the final Release returns, and after the controller is
# plugged in again a new binding plays on it.
set -uo pipefail
vc() { timeout 60 "$WINE_RUN" "$BIN_DIR/vcontroller.exe" "$@" | tr -d '\r'; }
ffhost() { timeout 120 "$WINE_RUN" "$BIN_DIR/ffhost.exe" "$@" | tr -d '\r'; }
id=7C4A:01F9
tmp=$(mktemp -d)
trap 'vc unplug $id >/dev/null 2>&1; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

vc unplug $id >/dev/null 2>&1
vc plug $id >/dev/null || fail "cannot plug $id"
play="download w sine magnitude=10000 period=250ms start; wait 3000; mark still running; release"
ffhost run --device $id --exec "$play" >"$tmp/run.txt" 2>&1 &
host=$!
# Pulled while the sine plays: the first second of reports is in by then.
for _ in $(seq 100); do
    [ "$(vc reports $id | grep -c output)" -gt 20 ] && break
    sleep 0.05
done
vc unplug $id >/dev/null || fail "cannot unplug $id while it plays"
wait $host
status=$?
out=$(cat "$tmp/run.txt")
[ "$status" = 0 ] || fail "the host ended with $status after the pull: $out"
grep -q "mark still running" <<<"$out" || fail "the script did not go on after the pull: $out"
grep -q "release -> 0" <<<"$out" || fail "the final Release did not return 0: $out"
cpu=$(echo "$out" | sed -n 's/^cpu time \([0-9]*\) ms over \([0-9]*\) ms$/\1 \2/p')
[ -n "$cpu" ] || fail "no CPU time in: $out"
read -r cpu_ms wall_ms <<<"$cpu"
echo "host CPU time with the controller pulled: $cpu_ms ms over $wall_ms ms"
# A thread that spins takes a whole processor: the limit tells only that.
[ $((cpu_ms * 2)) -lt "$wall_ms" ] || fail "the host used $cpu_ms ms of CPU in $wall_ms ms: the thread spins"

vc plug $id >/dev/null || fail "cannot plug $id again"
out=$(ffhost run --device $id --exec "wait 50; download c constant magnitude=5000 start; wait 100; release") ||
    fail "binding anew failed: $out"
reports=$(vc reports $id | awk '$2 == "output" { print $3, $4, $5, $6 }')
grep -q "^00 00 7F 7F" <<<"$reports" || fail "nothing played after plugging in again: $reports"
[ "$(echo "$reports" | tail -n1)" = "00 00 00 00" ] || fail "the last report is not all zero: $reports"
echo "pulled during play: all cases passed"
