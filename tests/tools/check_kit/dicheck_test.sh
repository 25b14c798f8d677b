#!/usr/bin/env bash
# dicheck under Wine's DirectInput: the controller with the package's entries
# is found as a game controller, force feedback is reported as not provided
# (exit code 3, neither passed nor failed), and what dicheck set up is gone.
set -uo pipefail
fail() { echo "FAIL: $*"; exit 1; }
out=$(timeout 120 "$WINE_RUN" "$BIN_DIR/dicheck.exe" | tr -d '\r')
status=${PIPESTATUS[0]}
echo "$out"
[ "$status" = 3 ] || fail "dicheck ended with $status, not 3 (force feedback not provided)"
grep -q '^step 2 EnumDevices(DI8DEVCLASS_GAMECTRL, DIEDFL_ATTACHEDONLY): ok - 7C4A:01FB listed, 7C4A:01FC listed' <<<"$out" ||
    fail "the controllers were not found as game controllers"
grep -q '^dicheck: force feedback not provided by this DirectInput: .*never reads OEMForceFeedback' <<<"$out" ||
    fail "no reason given for the missing force feedback"
oem='HKLM\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_7C4A&PID_01FB'
timeout 60 "$WINE_RUN" reg query "$oem" >/dev/null 2>&1 && fail "the OEM entries stayed behind"
timeout 60 "$WINE_RUN" "$BIN_DIR/vcontroller.exe" reports 7C4A:01FB >/dev/null 2>&1 && fail "the controller stayed plugged"
echo "dicheck under Wine: passed"
