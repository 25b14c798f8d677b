#!/usr/bin/env bash
# install.cmd under Wine's cmd, in a prefix of the installation tests' own:
#   install_test.sh CASE
# Each case starts from a registry without the product and checks what
# install.cmd wrote (as reg.exe shows it), printed and its exit code.
set -uo pipefail
: "${WINEPREFIX:?the prefix of the installation tests}" "${INSTALL_CMD:?install/install.cmd}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine() { "$(dirname "$0")/../../scripts/wine64" "$@"; }
case_name=${1:?case}

PARAMETERS='HKLM\SYSTEM\CurrentControlSet\Services\CorvaneWirelessController\Parameters'
OEM='HKLM\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM'
DRIVER='HKLM\SOFTWARE\Classes\CLSID\{7A3C91E4-52B8-4F1D-9C6A-3E0B8D2F4A61}'
SHEET='HKLM\SOFTWARE\Classes\CLSID\{7A3C91E5-52B8-4F1D-9C6A-3E0B8D2F4A61}'
RUN='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
DEFAULT_BLOCK=0103000000000000000000000F0F5F5F32321D1E1F201D1E1F20000000000000000064646464646464641100000000001D1E1F2000000000646464641B1C000064640F0F5F5F55551112131415161718191A1D00000000000000000000006464646464646464646464000150501464010100000000000000000000010000
OTHER_BLOCK=${DEFAULT_BLOCK:0:236}ABCDEF0102030000

failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}
expect_eq() { # WHAT EXPECTED ACTUAL
    [ "$2" = "$3" ] || fail "$1: expected '$2', got '$3'"
}

reg_data() { # KEY NAME
    wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^    $2    [A-Z_]*    //p" | head -1
}
reg_default() {
    wine reg query "$1" /ve 2>/dev/null | tr -d '\r' | sed -n 's/^    (Default)    [A-Z_]*    //p' | head -1
}
key_exists() { wine reg query "$1" >/dev/null 2>&1; }

# A folder in the prefix with install.cmd and stand-ins for the files it
# registers (it checks only that they are there).
folder_win='C:\Program Files (x86)\Corvane test'
folder="$WINEPREFIX/drive_c/Program Files (x86)/Corvane test"
prepare() {
    rm -rf "$folder"
    mkdir -p "$folder"
    cp "$INSTALL_CMD" "$folder/"
    : >"$folder/brasquet.dll"
    : >"$folder/quellin.exe"
    : >"$folder/sheet.dll"
    for key in "$PARAMETERS" "$DRIVER" "$SHEET" "$OEM"; do
        wine reg delete "$key" /f >/dev/null 2>&1
    done
    wine reg delete "$RUN" /v "Corvane Wireless Controller" /f >/dev/null 2>&1
}
# run_install ARGS...: runs install.cmd from its folder, as a user at a
# command prompt; OUTPUT and RC hold what it printed and its exit code.
run_install() {
    OUTPUT=$(cd "$folder" && wine cmd /c install.cmd "$@" 2>&1)
    RC=$?
    OUTPUT=$(echo "$OUTPUT" | tr -d '\r')
}

BadArgumentsAreRefusedWithAClearMessage() {
    prepare
    local long_name
    long_name=$(printf 'n%.0s' $(seq 260))
    # arguments | exit code | what the message says
    while IFS='|' read -r args code message; do
        # shellcheck disable=SC2086
        eval "set -- $args"
        run_install "$@"
        [ "$RC" = "$code" ] || fail "install.cmd $args: exit code $RC, expected $code"
        echo "$OUTPUT" | grep -qF -- "$message" || fail "install.cmd $args: no '$message' in: $OUTPUT"
    done <<EOF
|2|name at least one controller with /device VVVV:PPPP
/device|2|/device needs the controller's vendor and product id
/device 845G:0001|2|/device 845G:0001: give the vendor and product id as two 4-digit hexadecimal numbers
/device 845E0001|2|as two 4-digit hexadecimal numbers
/device 845E:00010|2|as two 4-digit hexadecimal numbers
/device 845E:001|2|as two 4-digit hexadecimal numbers
/device 845E:0001 /device 845e:0001|2|/device 845e:0001 is named twice
/device 845E:0001 /profile|2|/profile needs a name
/device 845E:0001 /profile Racing:0102|2|must be 252 hexadecimal digits
/device 845E:0001 /profile Racing:${DEFAULT_BLOCK:0:250}GG|2|must be 252 hexadecimal digits
/device 845E:0001 /profile $long_name|2|a profile needs a name of 1 to 259 characters
/device 845E:0001 /frobnicate|2|unknown argument /frobnicate
/device 845E:0001 /sheet "C:\\no such.dll"|2|/sheet C:\\no such.dll: no such file
EOF
    key_exists "$PARAMETERS" && fail "a refused installation wrote the Parameters key"
    key_exists "$DRIVER" && fail "a refused installation registered the driver"
    run_install /?
    expect_eq "install.cmd /? exit code" 0 "$RC"
    echo "$OUTPUT" | grep -qF "install.cmd /device VVVV:PPPP" || fail "/? prints no usage"
}

InstallWritesRegistrationDeviceListAndProfiles() {
    prepare
    run_install /device 845E:0001 /device 7c4a:0102 /profile "Racing games" /profile "game.exe:$OTHER_BLOCK" \
        /sheet sheet.dll /autostart
    expect_eq "exit code ($OUTPUT)" 0 "$RC"
    expect_eq "driver server" "$folder_win\\brasquet.dll" "$(reg_default "$DRIVER\\InprocServer32")"
    expect_eq "driver threading model" Both "$(reg_data "$DRIVER\\InprocServer32" ThreadingModel)"
    expect_eq "sheet server" "$folder_win\\sheet.dll" "$(reg_default "$SHEET\\InprocServer32")"
    expect_eq "sheet threading model" Apartment "$(reg_data "$SHEET\\InprocServer32" ThreadingModel)"
    local device effect
    for device in 'VID_845E&PID_0001' 'VID_7C4A&PID_0102'; do
        local ff="$OEM\\$device\\OEMForceFeedback"
        expect_eq "$device CLSID" '{7A3C91E4-52B8-4F1D-9C6A-3E0B8D2F4A61}' "$(reg_data "$ff" CLSID)"
        expect_eq "$device device attributes" 00000000D0070000E8030000 "$(reg_data "$ff" Attributes)"
        # GUID_ConstantForce .. GUID_CustomForce: index, DIEFT_* type and flags.
        while read -r guid name attributes; do
            effect="$ff\\Effects\\{13541C$guid-8E33-11D0-9AD0-00A0C9A06E35}"
            expect_eq "$device $name attributes" "${attributes}FF030000FF03000070000000" "$(reg_data "$effect" Attributes)"
            expect_eq "$device $name name" "${name//_/ }" "$(reg_default "$effect")"
        done <<'EOF'
20 Constant_Force 0000000001860000
21 Ramp_Force 0100000002860000
22 Square 0200000003860000
23 Sine 0300000003860000
24 Triangle 0400000003860000
25 Sawtooth_Up 0500000003860000
26 Sawtooth_Down 0600000003860000
27 Spring 0700000004800000
28 Damper 0800000004800000
29 Inertia 0900000004800000
2A Friction 0A00000004800000
2B Custom_Force 0B00000005800000
EOF
    done
    expect_eq "device count" 0x2 "$(reg_data "$PARAMETERS" "Supported Device Count")"
    expect_eq "device 0" 0x845e0001 "$(reg_data "$PARAMETERS" "Supported Device Attribute 0")"
    expect_eq "device 1" 0x7c4a0102 "$(reg_data "$PARAMETERS" "Supported Device Attribute 1")"
    expect_eq "setting count" 0x3 "$(reg_data "$PARAMETERS" "Setting Count")"
    expect_eq "profile 1 name" "Racing games" "$(reg_data "$PARAMETERS" "Setting Name 1")"
    expect_eq "profile 1 block" "$DEFAULT_BLOCK" "$(reg_data "$PARAMETERS" "Setting 1")"
    expect_eq "profile 2 name" game.exe "$(reg_data "$PARAMETERS" "Setting Name 2")"
    expect_eq "profile 2 block" "$OTHER_BLOCK" "$(reg_data "$PARAMETERS" "Setting 2")"
    key_exists "$PARAMETERS" && ! wine reg query "$PARAMETERS" /v "Setting 0" >/dev/null 2>&1 ||
        fail "profile 0 was stored"
    expect_eq "autostart" "\"$folder_win\\quellin.exe\"" "$(reg_data "$RUN" "Corvane Wireless Controller")"
}

ReinstallReplacesListsAndDropsLeftovers() {
    prepare
    run_install /device 845E:0001 /device 7C4A:0102 /profile a.exe /profile b.exe /profile c.exe
    expect_eq "first installation" 0 "$RC"
    # The user's state since: profile 3 applied, a current setting of their own.
    wine reg add "$PARAMETERS" /v "Current Setting Index" /t REG_DWORD /d 3 /f >/dev/null
    wine reg add "$PARAMETERS" /v "Current Setting" /t REG_BINARY /d "$OTHER_BLOCK" /f >/dev/null
    run_install /device 7C4A:0102 /profile x.exe
    expect_eq "second installation ($OUTPUT)" 0 "$RC"
    expect_eq "device count" 0x1 "$(reg_data "$PARAMETERS" "Supported Device Count")"
    expect_eq "device 0" 0x7c4a0102 "$(reg_data "$PARAMETERS" "Supported Device Attribute 0")"
    expect_eq "device 1 dropped" "" "$(reg_data "$PARAMETERS" "Supported Device Attribute 1")"
    expect_eq "setting count" 0x2 "$(reg_data "$PARAMETERS" "Setting Count")"
    expect_eq "profile 1" x.exe "$(reg_data "$PARAMETERS" "Setting Name 1")"
    local i
    for i in 2 3; do
        expect_eq "profile $i name dropped" "" "$(reg_data "$PARAMETERS" "Setting Name $i")"
        expect_eq "profile $i block dropped" "" "$(reg_data "$PARAMETERS" "Setting $i")"
    done
    expect_eq "index of a dropped profile" 0x0 "$(reg_data "$PARAMETERS" "Current Setting Index")"
    expect_eq "the user's current setting" "$OTHER_BLOCK" "$(reg_data "$PARAMETERS" "Current Setting")"
    # Without /profile the stored profiles stay.
    run_install /device 7C4A:0102
    expect_eq "third installation" 0 "$RC"
    expect_eq "profiles kept" x.exe "$(reg_data "$PARAMETERS" "Setting Name 1")"
}

MissingDriverBesideTheScriptIsReported() {
    prepare
    rm -f "$folder/brasquet.dll"
    run_install /device 845E:0001
    expect_eq "exit code" 1 "$RC"
    echo "$OUTPUT" | grep -qF "brasquet.dll is not in $folder_win" || fail "message: $OUTPUT"
    key_exists "$DRIVER" && fail "the driver was registered without its file"
    rm -f "$folder/quellin.exe"
    : >"$folder/brasquet.dll"
    run_install /device 845E:0001 /autostart
    expect_eq "/autostart without quellin.exe" 1 "$RC"
}

UninstallRemovesRegistrationKeepsSettings() {
    prepare
    run_install /device 845E:0001 /device 7C4A:0102 /profile a.exe /sheet sheet.dll /autostart
    expect_eq "installation" 0 "$RC"
    run_install /uninstall /sheet sheet.dll
    expect_eq "uninstall ($OUTPUT)" 0 "$RC"
    key_exists "$DRIVER" && fail "driver class left"
    key_exists "$SHEET" && fail "sheet class left"
    key_exists "$OEM\\VID_845E&PID_0001\\OEMForceFeedback" && fail "force feedback entries of 845E:0001 left"
    key_exists "$OEM\\VID_7C4A&PID_0102\\OEMForceFeedback" && fail "force feedback entries of 7C4A:0102 left"
    expect_eq "device list" "" "$(reg_data "$PARAMETERS" "Supported Device Count")"
    expect_eq "autostart" "" "$(reg_data "$RUN" "Corvane Wireless Controller")"
    expect_eq "profiles kept" a.exe "$(reg_data "$PARAMETERS" "Setting Name 1")"
}

SaveWritesARegFileForALaterImport() {
    prepare
    run_install /device 845E:0001 /profile game.exe /save "C:\\corvane.reg"
    expect_eq "exit code ($OUTPUT)" 0 "$RC"
    key_exists "$DRIVER" && fail "/save wrote to the registry"
    local file="$WINEPREFIX/drive_c/corvane.reg"
    head -1 "$file" | tr -d '\r' | grep -qx "Windows Registry Editor Version 5.00" || fail "no .reg header"
    grep -qF '[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_845E&PID_0001\OEMForceFeedback]' "$file" ||
        fail "no force feedback key for VID_845E&PID_0001 in the file"
    wine reg import 'C:\corvane.reg' /reg:64 >/dev/null 2>&1 || fail "reg import refused the file"
    expect_eq "driver server after the import" "$folder_win\\brasquet.dll" "$(reg_default "$DRIVER\\InprocServer32")"
    expect_eq "profile after the import" game.exe "$(reg_data "$PARAMETERS" "Setting Name 1")"
    expect_eq "profile block after the import" "$DEFAULT_BLOCK" "$(reg_data "$PARAMETERS" "Setting 1")"
}

if ! declare -F "$case_name" >/dev/null; then
    echo "install_test: no case $case_name" >&2
    exit 2
fi
"$case_name"
if [ $failures -gt 0 ]; then
    echo "$case_name: $failures checks FAILED"
    exit 1
fi
echo "$case_name: passed"
