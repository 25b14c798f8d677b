#!/usr/bin/env bash
# The x86 effect driver, in a 32-bit ffhost.exe (a 32-bit game under WOW64),
# bound to a virtual controller: the controller receives its Motor Reports.
# The drivers are 64-bit, installed by the 64-bit vcontroller.exe.
#   x86_device_test.sh WINE_RUN_X86 X86_BIN X64_BIN PREFIX
set -uo pipefail
run_x86=$1 x86_bin=$2 x64_bin=$3 prefix=$4
root=$(cd "$(dirname "$0")/../../.." && pwd)
if [ ! -f "$x64_bin/vcontroller.exe" ]; then
    echo "no $x64_bin/vcontroller.exe: the windows preset builds it (skipped)"
    exit 77
fi
vc() { WINEPREFIX=$prefix WINEDEBUG=-all timeout 60 "$root/scripts/wine64" "$x64_bin/vcontroller.exe" "$@" | tr -d '\r'; }
id=7C4A:01FA
trap 'vc unplug $id >/dev/null 2>&1' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$root/tests/tools/virtual_controller/install_drivers.sh" "$prefix" "$x64_bin" up-x86 "$prefix" || fail "cannot install the drivers in $prefix"
vc unplug $id >/dev/null 2>&1
vc plug $id || fail "cannot plug $id"
out=$(timeout 120 "$run_x86" "$x86_bin/ffhost.exe" run --device $id \
    --exec "wait 50; download a constant magnitude=5000 start; wait 100; release" | tr -d '\r')
status=$?
# Where 32-bit programs run emulated, threads are not reliable: skipped there.
[ "$status" = 77 ] && exit 77
[ "$status" = 0 ] || fail "the 32-bit ffhost run --device failed: $out"
# Each line: arrival, kind, the bytes, the completion; NF - 3 bytes.
reports=$(vc reports $id | awk '$2 == "output" { print $3, $4, $5, $6, NF - 3 }')
echo "$reports"
[ "$(echo "$reports" | head -n1)" = "00 00 00 00 4" ] || fail "the first report is not 00 00 00 00"
grep -q "^00 00 7F 7F 4$" <<<"$reports" || fail "no report of strength 127"
[ "$(echo "$reports" | tail -n1)" = "00 00 00 00 4" ] || fail "the last report is not 00 00 00 00"
out=$(timeout 120 "$run_x86" "$x86_bin/ffhost.exe" bench --device $id --starts 20 | tr -d '\r') ||
    fail "the 32-bit bench --device failed: $out"
echo "$out"
echo "x86 driver at the device: all cases passed"
