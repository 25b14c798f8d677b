#!/usr/bin/env bash
# The Windows Installer package under Wine's msiexec, one case per call, each
# in a Wine prefix of its own (a copy of a template prefix):
#   install_test.sh CASE
# Every check looks from outside: the files, reg.exe's view of the registry,
# Wine's list of installed programs, the Parameters key's access as
# RegGetKeySecurity returns it, the screen.
set -uo pipefail
: "${BIN_DIR:?the build's bin folder}" "${CASES_DIR:?where the cases' prefixes go}"
: "${TEMPLATE_PREFIX:?the prefix every case starts from}"
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
# Arguments reach Wine in UTF-8; reg.exe prints in the OEM code page, 437.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
wine() { "$root/scripts/wine64" "$@"; }
case_name=${1:?case}

PACKAGE="$BIN_DIR/CorvaneWirelessController-845E-0001.msi"
OLDER_PACKAGE="$BIN_DIR/CorvaneWirelessController-845E-0001-0.9.0.msi"
X86_PACKAGE="$BIN_DIR/${X86_PACKAGE_NAME:-CorvaneWirelessController-845E-0001.msi}"
FOLDER_WIN='C:\Program Files\Corvane Wireless Controller'
FOLDER_X86_WIN='C:\Program Files (x86)\Corvane Wireless Controller'
# The driver is in a folder of the package's version.
VERSION=$(msiinfo export "$PACKAGE" Property | tr -d '\r' | sed -n 's/^ProductVersion\t//p')
PARAMETERS_PATH='SYSTEM\CurrentControlSet\Services\CorvaneWirelessController\Parameters'
PARAMETERS="HKLM\\$PARAMETERS_PATH"
OEM='HKLM\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM'
FF="$OEM\\VID_845E&PID_0001\\OEMForceFeedback"
AXES="$OEM\\VID_845E&PID_0001\\Axes"
DRIVER='HKLM\SOFTWARE\Classes\CLSID\{7A3C91E4-52B8-4F1D-9C6A-3E0B8D2F4A61}'
SHEET='HKLM\SOFTWARE\Classes\CLSID\{7A3C91E5-52B8-4F1D-9C6A-3E0B8D2F4A61}'
RUN='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
PRODUCT_KEY='HKLM\SOFTWARE\Corvane'
# The descriptor of common/device_contract.h as Wine prints it back: 0x2001b
# (KEY_READ | KEY_SET_VALUE) comes out as the rights' letters.
PARAMETERS_ACCESS='D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)(A;;CCDCSWRPRC;;;IU)'
BLOCK=0103000000000000000000000F0F5F5F32321D1E1F201D1E1F20000000000000000064646464646464641100000000001D1E1F2000000000646464641B1C000064640F0F5F5F55551112131415161718191A1D00000000000000000000006464646464646464646464000150501464010100000000000000000000010000

failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}
expect_eq() { # WHAT EXPECTED ACTUAL
    [ "$2" = "$3" ] || fail "$1: expected '$2', got '$3'"
}

# A prefix of the case's own, from the template: Wine's big DLL folders are
# linked (nothing writes them), the rest is copied.
new_prefix() {
    export WINEPREFIX="$CASES_DIR/$case_name"
    "$root/scripts/wine-env.sh" down "$WINEPREFIX" >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX/drive_c/windows"
    local big="drive_c/windows/system32 drive_c/windows/syswow64 drive_c/windows/winsxs" dir
    # shellcheck disable=SC2086
    tar -C "$TEMPLATE_PREFIX" $(printf -- '--exclude=./%s ' $big) -cf - . | tar -C "$WINEPREFIX" -xf -
    for dir in $big; do cp -al "$TEMPLATE_PREFIX/$dir" "$WINEPREFIX/$dir"; done
    "$root/scripts/wine-env.sh" up "$WINEPREFIX" "$@" >/dev/null 2>&1
    trap '"$root/scripts/wine-env.sh" down "$WINEPREFIX" >/dev/null 2>&1' EXIT
}
winpath() { local p=$1; echo "Z:${p//\//\\}"; }
folder() { echo "$WINEPREFIX/drive_c/Program Files/Corvane Wireless Controller"; }
folder_x86() { echo "$WINEPREFIX/drive_c/Program Files (x86)/Corvane Wireless Controller"; }
# msiexec ARGS...: Wine's msiexec; RC holds its exit code, of which a Unix
# process passes on the low 8 bits (1603, ERROR_INSTALL_FAILURE, is 67).
# Each run's log stays in the prefix, C:\msiexec-N.log, to read when a case
# fails.
runs=0
msiexec() {
    runs=$((runs + 1))
    wine msiexec "$@" /l*v "C:\\msiexec-$runs.log" >/dev/null 2>&1
    RC=$?
}

# reg_value KEY NAME [VIEW]: "TYPE data" as reg.exe shows it; NAME "" is the
# key's default value.
reg_value() {
    local args=(/v "$2")
    [ -n "$2" ] || args=(/ve)
    wine reg query "$1" "${args[@]}" /reg:"${3:-64}" 2>/dev/null | iconv -f CP437 -t UTF-8 | tr -d '\r' |
        sed -n "s/^    ${2:-(Default)}    \([A-Z_]*\)    /\1 /p" | head -1
}
key_exists() { wine reg query "$1" /reg:"${2:-64}" >/dev/null 2>&1; }
entries() { wine uninstaller --list 2>/dev/null | tr -d '\r' | grep -c '|||Corvane Wireless Controller$'; }
product_code() { wine uninstaller --list 2>/dev/null | tr -d '\r' | sed -n 's/|||Corvane Wireless Controller$//p'; }
access() { wine "$BIN_DIR/winprobe.exe" keyaccess "${1:-$PARAMETERS_PATH}" 2>/dev/null | tr -d '\r' | sed -n 's/^keyaccess sddl=//p'; }
# set_access SDDL: the Parameters key's owner and access, as a test sets up a
# key the installer may not read or change.
set_access() { wine "$BIN_DIR/winprobe.exe" setkeyaccess "$PARAMETERS_PATH" "$1" >/dev/null 2>&1 || fail "could not set $1"; }
# expect_logged WHAT TEXT...: the last run's log has the custom actions' lines
# "install_actions: TEXT".
expect_logged() {
    local what=$1 line log
    log=$(tr -d '\r' <"$WINEPREFIX/drive_c/msiexec-$runs.log" 2>/dev/null)
    shift
    for line in "$@"; do
        grep -qF "install_actions: $line" <<<"$log" || fail "$what: the log lacks 'install_actions: $line'"
    done
}

# A user's settings since an earlier installation, as the property sheet and
# the tray program write them.
add_profiles() {
    wine reg add "$PARAMETERS" /v "Setting Count" /t REG_DWORD /d 2 /f >/dev/null 2>&1
    wine reg add "$PARAMETERS" /v "Setting 1" /t REG_BINARY /d "$BLOCK" /f >/dev/null 2>&1
    wine reg add "$PARAMETERS" /v "Setting Name 1" /d "Racing" /f >/dev/null 2>&1
    wine reg add "$PARAMETERS" /v "Current Setting Index" /t REG_DWORD /d 1 /f >/dev/null 2>&1
}
expect_profiles() {
    expect_eq "$1: profile count" "REG_DWORD 0x2" "$(reg_value "$PARAMETERS" "Setting Count")"
    expect_eq "$1: profile" "REG_BINARY $BLOCK" "$(reg_value "$PARAMETERS" "Setting 1")"
    expect_eq "$1: profile name" "REG_SZ Racing" "$(reg_value "$PARAMETERS" "Setting Name 1")"
    expect_eq "$1: current profile" "REG_DWORD 0x1" "$(reg_value "$PARAMETERS" "Current Setting Index")"
}

# Every file and registry entry of an installation, with its type and value.
expect_installed() {
    local what=$1 f
    cmp -s "$BIN_DIR/quellin.exe" "$(folder)/quellin.exe" || fail "$what: quellin.exe is not the built one"
    cmp -s "$BIN_DIR/brasquet.dll" "$(folder)/$VERSION/brasquet.dll" || fail "$what: $VERSION\\brasquet.dll is not the built one"
    expect_eq "$what: driver class" "REG_SZ Corvane Wireless Controller Effect Driver" "$(reg_value "$DRIVER" "")"
    expect_eq "$what: driver server" "REG_SZ $FOLDER_WIN\\$VERSION\\brasquet.dll" "$(reg_value "$DRIVER\\InprocServer32" "")"
    expect_eq "$what: driver threading" "REG_SZ Both" "$(reg_value "$DRIVER\\InprocServer32" ThreadingModel)"
    expect_eq "$what: force feedback driver" "REG_SZ {7A3C91E4-52B8-4F1D-9C6A-3E0B8D2F4A61}" "$(reg_value "$FF" CLSID)"
    expect_eq "$what: device attributes" "REG_BINARY 00000000D0070000E8030000" "$(reg_value "$FF" Attributes)"
    # GUID_ConstantForce .. GUID_CustomForce: index, DIEFT_* type and flags,
    # every parameter but the trigger button and its repeat interval.
    local guid name type index=0 effect
    while read -r guid name type; do
        effect="$FF\\Effects\\{13541C$guid-8E33-11D0-9AD0-00A0C9A06E35}"
        expect_eq "$what: $name" "REG_SZ ${name//_/ }" "$(reg_value "$effect" "")"
        expect_eq "$what: $name attributes" "REG_BINARY $(printf '%02X' $index)000000${type}0000E7030000E703000070000000" \
            "$(reg_value "$effect" Attributes)"
        index=$((index + 1))
    done <<'EOF_EFFECTS'
20 Constant_Force 0186
21 Ramp_Force 0286
22 Square 0386
23 Sine 0386
24 Triangle 0386
25 Sawtooth_Up 0386
26 Sawtooth_Down 0386
27 Spring 0480
28 Damper 0480
29 Inertia 0480
2A Friction 0480
2B Custom_Force 0580
EOF_EFFECTS
    # The axes that carry the effects, X and Y: DIOBJECTATTRIBUTES
    # (DIDOI_FFACTUATOR | DIDOI_ASPECTPOSITION, Generic Desktop X or Y) and
    # DIFFOBJECTATTRIBUTES (1 newton, 255 steps).
    expect_eq "$what: X axis" "REG_BINARY 0101000001003000" "$(reg_value "$AXES\\0" Attributes)"
    expect_eq "$what: X axis actuator" "REG_BINARY 01000000FF000000" "$(reg_value "$AXES\\0" FFAttributes)"
    expect_eq "$what: Y axis" "REG_BINARY 0101000001003100" "$(reg_value "$AXES\\1" Attributes)"
    expect_eq "$what: Y axis actuator" "REG_BINARY 01000000FF000000" "$(reg_value "$AXES\\1" FFAttributes)"
    expect_eq "$what: device count" "REG_DWORD 0x1" "$(reg_value "$PARAMETERS" "Supported Device Count")"
    expect_eq "$what: device" "REG_DWORD 0x845e0001" "$(reg_value "$PARAMETERS" "Supported Device Attribute 0")"
    expect_eq "$what: Parameters key access" "$PARAMETERS_ACCESS" "$(access)"
    expect_logged "$what" "reading the Parameters key's access" "setting the Parameters key's access: status 0"
    expect_eq "$what: Apps & features entries" 1 "$(entries)"
}

# Nothing of the product is left; what the user set stays.
expect_removed() {
    local what=$1
    [ -e "$(folder)" ] && fail "$what: $(folder) is left: $(ls "$(folder)")"
    [ -e "$(folder_x86)" ] && fail "$what: $(folder_x86) is left: $(ls "$(folder_x86)")"
    key_exists "$DRIVER" && fail "$what: the driver's class is left"
    key_exists "$DRIVER" 32 && fail "$what: the driver's 32-bit class is left"
    key_exists "$SHEET" && fail "$what: the property sheet's class is left"
    key_exists "$FF" && fail "$what: the force feedback entries are left"
    key_exists "$AXES" && fail "$what: the axes' entries are left"
    key_exists "$PRODUCT_KEY" && fail "$what: the product's key is left"
    expect_eq "$what: autostart" "" "$(reg_value "$RUN" "Corvane Wireless Controller")"
    expect_eq "$what: device count" "" "$(reg_value "$PARAMETERS" "Supported Device Count")"
    expect_eq "$what: device" "" "$(reg_value "$PARAMETERS" "Supported Device Attribute 0")"
    expect_eq "$what: Apps & features entries" 0 "$(entries)"
}

# pe_version FILE: the file version of FILE's version resource, a.b.c.d.
pe_version() {
    local off ms ls
    off=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$1" | head -1 | cut -d: -f1)
    [ -n "$off" ] || return
    read -r ms ls < <(od -An -tu4 -j $((off + 8)) -N8 "$1")
    echo "$((ms >> 16)).$((ms & 65535)).$((ls >> 16)).$((ls & 65535))"
}
# table MSI NAME: the table's rows without the three header lines, the
# columns separated by US (\x1f), which read does not merge as it merges tabs.
table() { msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4 | tr '\t' '\037'; }
short_name_ok() { [[ "$1" =~ ^[A-Za-z0-9_~!#$%\&\'@^\`\(\)\{\}-]{1,8}(\.[A-Za-z0-9_~!#$%\&\'@^\`\(\)\{\}-]{1,3})?$ ]]; }

# What Windows' validators (ICE rules) and a repair read in a package's
# tables; Wine's installer minds none of it.
expect_clean_tables() {
    local msi=$1 what
    what=$(basename "$1")
    # ICE80: a 32-bit component is in a 32-bit folder, a 64-bit one in a 64-bit folder.
    local -A parent=()
    local dir par def
    while IFS=$'\037' read -r dir par def; do
        parent[$dir]=$par
        # Short names: every folder a valid 8.3 name, or "short|long".
        def=${def%%:*}
        case "$def" in . | SourceDir) ;;
        *'|'*) short_name_ok "${def%%|*}" || fail "$what: folder $dir's short name '${def%%|*}' is not 8.3" ;;
        *) short_name_ok "$def" || fail "$what: folder $dir ('$def') has no short name" ;;
        esac
    done < <(table "$msi" Directory)
    local comp id attributes condition keypath d root
    while IFS=$'\037' read -r comp id dir attributes condition keypath; do
        root=""
        d=$dir
        while [ -n "$d" ]; do
            case "$d" in ProgramFiles64Folder | System64Folder) root=64 ;; ProgramFilesFolder | SystemFolder) root=32 ;; esac
            d=${parent[$d]:-}
        done
        if [ $((attributes & 256)) -ne 0 ]; then
            [ "$root" != 32 ] || fail "$what: 64-bit component $comp is in a 32-bit folder (ICE80)"
        else
            [ "$root" != 64 ] || fail "$what: 32-bit component $comp is in a 64-bit folder (ICE80)"
        fi
        # A repair given AUTOSTART or SHEET evaluates these components again.
        case "$comp" in Autostart | AutostartOff | PropertySheet)
            [ -n "$condition" ] || fail "$what: $comp has no condition"
            [ $((attributes & 64)) -ne 0 ] || fail "$what: $comp is not transitive"
            ;;
        esac
    done < <(table "$msi" Component)
    # ICE68: only an action in the script (InScript) may carry NoImpersonate.
    local action type
    while IFS=$'\037' read -r action type _; do
        [ $((type & 2048)) -eq 0 ] || [ $((type & 1024)) -ne 0 ] ||
            fail "$what: immediate action $action carries NoImpersonate (ICE68)"
    done < <(table "$msi" CustomAction)
    # The programs' versions are their version resources', from the one
    # version number of the package.
    local product_version file name size version language source
    product_version=$(table "$msi" Property | sed -n 's/^ProductVersion\x1f//p')
    while IFS=$'\037' read -r file comp name size version language _; do
        case "$file" in
        quellin.exe | brasquet.dll) source=$BIN_DIR/$file ;;
        brasquet_x86.dll) source=${X86_DLL:-$BIN_DIR/brasquet.dll} ;;
        *) continue ;;
        esac
        expect_eq "$what: $file's version" "$(pe_version "$source")" "$version"
        expect_eq "$what: $file's language" 1033 "$language"
        short_name_ok "${name%%|*}" || fail "$what: file $file has no short name"
    done < <(table "$msi" File)
    # The tests' older package carries the same files under a lower number.
    [ "$msi" = "$OLDER_PACKAGE" ] ||
        expect_eq "$what: the programs' version is the package's" "$product_version.0" "$(pe_version "$BIN_DIR/quellin.exe")"
    # AUTOSTART survives an elevation; SHEET, a path for InprocServer32, is an
    # administrator's alone.
    local secure
    secure=";$(table "$msi" Property | sed -n 's/^SecureCustomProperties\x1f//p');"
    [[ "$secure" == *";AUTOSTART;"* ]] || fail "$what: AUTOSTART is not a secure property ($secure)"
    [[ "$secure" == *";SHEET;"* ]] && fail "$what: SHEET is a secure property"
    # Restart Manager closes only what registered for a restart.
    expect_eq "$what: MSIRMSHUTDOWN" 2 "$(table "$msi" Property | sed -n 's/^MSIRMSHUTDOWN\x1f//p')"
}

BuildChecksControllerIdsAndActionImports() {
    local devices
    # A malformed or repeated id stops the build at configure time.
    for devices in 845G:0001 845E0001 845E:001 845E:00010 " 845E:0001" "845E:0001;845e:0001" ""; do
        cmake -D "DEVICES=$devices" -D OUTPUT="$CASES_DIR/bad.wxi" -P "$root/install/controllers.cmake" >/dev/null 2>&1 &&
            fail "controller ids '$devices' were taken"
    done
    cmake -D "DEVICES=845e:0001;7C4A:0102" -D OUTPUT="$CASES_DIR/good.wxi" -P "$root/install/controllers.cmake" ||
        fail "two good controller ids were refused"
    grep -q 'Name="Supported Device Attribute 1" Type="integer" Value="2085224706"' "$CASES_DIR/good.wxi" ||
        fail "7C4A:0102 is not the list's second device"
    # The product's package supports the controller the README names.
    msiinfo export "$BIN_DIR/CorvaneWirelessController.msi" Registry | grep -F 'OEM\VID_7C4A&PID_0102\OEMForceFeedback' >/dev/null ||
        fail "the product's package has no force feedback entries for 7C4A:0102"
    # Only the tests' packages can be made to fail on purpose.
    msiinfo export "$BIN_DIR/CorvaneWirelessController.msi" CustomAction | grep FailInstallation >/dev/null &&
        fail "the product's package carries the tests' failing action"
    msiinfo export "$PACKAGE" CustomAction | grep FailInstallation >/dev/null ||
        fail "the tests' package lacks its failing action"
    local msi
    for msi in "$BIN_DIR/CorvaneWirelessController.msi" "$PACKAGE" "$OLDER_PACKAGE"; do
        expect_clean_tables "$msi"
    done
    # The custom action DLL runs inside the installer: Windows' own DLLs only.
    local dll
    for dll in $(x86_64-w64-mingw32-objdump -p "$BIN_DIR/install_actions.dll" | sed -n 's/^\tDLL Name: //p'); do
        case "${dll,,}" in
        kernel32.dll | advapi32.dll | msi.dll | msvcrt.dll | ntdll.dll) ;;
        *) fail "install_actions.dll imports $dll" ;;
        esac
    done
}

SilentInstallRegistersEverything() {
    new_prefix
    # A path that cmd's code page would mangle.
    msiexec /i "$(winpath "$PACKAGE")" /qn 'SHEET=C:\Zubehör für Ω\sheet.dll'
    expect_eq "exit code" 0 "$RC"
    expect_installed "installed"
    expect_eq "sheet class" "REG_SZ Corvane Wireless Controller Property Sheet" "$(reg_value "$SHEET" "")"
    expect_eq "sheet server" 'REG_SZ C:\Zubehör für Ω\sheet.dll' "$(reg_value "$SHEET\\InprocServer32" "")"
    expect_eq "sheet threading" "REG_SZ Apartment" "$(reg_value "$SHEET\\InprocServer32" ThreadingModel)"
    # There was no Parameters key before: an uninstall gives it the service key's access.
    expect_eq "access before the installation" "REG_SZ inherited" "$(reg_value "$PRODUCT_KEY\\Wireless Controller" "Parameters Access")"
    expect_eq "autostart" "REG_SZ \"$FOLDER_WIN\\quellin.exe\"" "$(reg_value "$RUN" "Corvane Wireless Controller")"
    # The 64-bit driver's class is in the 64-bit view only (the 32-bit view
    # holds the x86 driver's, when the package has it).
    [ "$(reg_value "$DRIVER\\InprocServer32" "" 32)" = "REG_SZ $FOLDER_WIN\\brasquet.dll" ] &&
        fail "the 64-bit driver is registered in the 32-bit view"
    # Nothing at the end of a silent installation starts the tray program.
    wine "$BIN_DIR/winprobe.exe" mutex "quellin mutex" >/dev/null && fail "a silent installation started quellin.exe"
}

X86DriverRegistersInThe32BitView() {
    new_prefix
    msiexec /i "$(winpath "$X86_PACKAGE")" /qn AUTOSTART=0
    expect_eq "exit code" 0 "$RC"
    # The 32-bit driver in the 32-bit Program Files, in its version's folder.
    [ -f "$(folder_x86)/$VERSION/brasquet.dll" ] || fail "no x86 $VERSION\\brasquet.dll"
    if [ -n "${X86_DLL:-}" ]; then
        cmp -s "$X86_DLL" "$(folder_x86)/$VERSION/brasquet.dll" || fail "the x86 brasquet.dll is not the built x86 driver"
    fi
    expect_eq "x86 driver server" "REG_SZ $FOLDER_X86_WIN\\$VERSION\\brasquet.dll" "$(reg_value "$DRIVER\\InprocServer32" "" 32)"
    expect_eq "x86 driver threading" "REG_SZ Both" "$(reg_value "$DRIVER\\InprocServer32" ThreadingModel 32)"
    expect_eq "x64 driver server" "REG_SZ $FOLDER_WIN\\$VERSION\\brasquet.dll" "$(reg_value "$DRIVER\\InprocServer32" "")"
    expect_eq "without AUTOSTART" "" "$(reg_value "$RUN" "Corvane Wireless Controller")"
    key_exists "$SHEET" && fail "the property sheet was registered without SHEET"
    # A repair given AUTOSTART and SHEET anew applies them: the components
    # are transitive.
    msiexec /i "$(winpath "$X86_PACKAGE")" /qn REINSTALL=ALL REINSTALLMODE=amus AUTOSTART=1 'SHEET=C:\sheet.dll'
    expect_eq "repair exit code" 0 "$RC"
    expect_eq "repaired with AUTOSTART" "REG_SZ \"$FOLDER_WIN\\quellin.exe\"" "$(reg_value "$RUN" "Corvane Wireless Controller")"
    expect_eq "repaired with SHEET" 'REG_SZ C:\sheet.dll' "$(reg_value "$SHEET\\InprocServer32" "")"
    add_profiles
    msiexec /x "$(winpath "$X86_PACKAGE")" /qn
    expect_eq "uninstall exit code" 0 "$RC"
    expect_removed "uninstalled"
    # The key had no access of its own before: it gets what the service key
    # hands down. Wine gives the service key D:(A;CIIO;GR;;;BU)(A;;KA;;;BA):
    # the Users' generic read, as the key's own read for the key and passed
    # on as it is.
    expect_eq "service key access" 'D:(A;CIIO;GR;;;BU)(A;;KA;;;BA)' "$(access "${PARAMETERS_PATH%\\Parameters}")"
    expect_eq "uninstalled: Parameters key access" 'D:AI(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)' "$(access)"
    expect_logged "uninstalled" "giving the Parameters key the service key's access: status 0"
}

InteractiveInstallStartsTheTrayAndTheDriverPlays() {
    # A virtual display of the case's own: the taskbar it reads is then no
    # other test's, whatever runs beside it.
    local number="$CASES_DIR/$case_name.display" xvfb_pid
    rm -f "$number"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number" </dev/null >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$number" ] && break; sleep 0.1; done
    [ -s "$number" ] || { fail "no virtual display"; return; }
    export DISPLAY=":$(cat "$number")"
    new_prefix "$DISPLAY"
    trap '"$root/scripts/wine-env.sh" down "$WINEPREFIX" >/dev/null 2>&1; kill '"$xvfb_pid"' 2>/dev/null' EXIT
    # A desktop with a taskbar, whose notification area shows the icon.
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Install /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Install /d 800x600 /f >/dev/null 2>&1
    msiexec /i "$(winpath "$PACKAGE")"
    expect_eq "exit code" 0 "$RC"
    local tray
    wine "$BIN_DIR/winprobe.exe" window "quellin class" "quellin window" --wait 15000 >/dev/null ||
        fail "the installation did not start quellin.exe"
    tray=$(wine "$BIN_DIR/winprobe.exe" tray --wait 20000 2>/dev/null | tr -d '\r') ||
        fail "the installed quellin.exe shows no icon for 845E:0001 ($tray)"
    # The installed driver, activated through its registered class as
    # DirectInput does, writes Motor Reports.
    local work
    work=$(mktemp -d)
    (cd "$work" && wine "$BIN_DIR/ffhost.exe" run --com --csv out.csv \
        --exec 'download a constant magnitude=10000 start; wait 100; release' >out.txt 2>&1) ||
        fail "ffhost through the installed driver: $(cat "$work/out.txt")"
    tail -n +2 "$work/out.csv" 2>/dev/null | tr -d '\r' | cut -d, -f2 | grep -x 255 >/dev/null ||
        fail "no full-strength Motor Report from the installed driver"
    rm -rf "$work"
}

RepairThenUpgradeKeepsProfiles() {
    new_prefix
    # The older version supported 845E:0002 too; the administrator's choices
    # must outlive the repair and the upgrade, which are not given them.
    msiexec /i "$(winpath "$OLDER_PACKAGE")" /qn AUTOSTART=0 'SHEET=C:\sheet.dll'
    expect_eq "older version's exit code" 0 "$RC"
    expect_eq "older version's driver server" "REG_SZ $FOLDER_WIN\\0.9.0\\brasquet.dll" "$(reg_value "$DRIVER\\InprocServer32" "")"
    expect_eq "older version's device count" "REG_DWORD 0x2" "$(reg_value "$PARAMETERS" "Supported Device Count")"
    expect_eq "older version's second device" "REG_DWORD 0x845e0002" \
        "$(reg_value "$PARAMETERS" "Supported Device Attribute 1")"
    add_profiles
    # A lost file and a lost value come back with a repair: "msiexec /famus"
    # on Windows, its properties here, as Wine's msiexec /f ends with 1.
    rm -f "$(folder)/0.9.0/brasquet.dll"
    wine reg delete "$DRIVER\\InprocServer32" /v ThreadingModel /f >/dev/null 2>&1
    msiexec /i "$(winpath "$OLDER_PACKAGE")" /qn REINSTALL=ALL REINSTALLMODE=amus
    expect_eq "repair exit code" 0 "$RC"
    cmp -s "$BIN_DIR/brasquet.dll" "$(folder)/0.9.0/brasquet.dll" || fail "repair: brasquet.dll is not back"
    expect_eq "repaired threading" "REG_SZ Both" "$(reg_value "$DRIVER\\InprocServer32" ThreadingModel)"
    expect_eq "repaired access" "$PARAMETERS_ACCESS" "$(access)"
    expect_eq "repaired sheet" 'REG_SZ C:\sheet.dll' "$(reg_value "$SHEET\\InprocServer32" "")"
    expect_profiles "repaired"
    # The newer version replaces the older one, whose files were changed.
    echo older >"$(folder)/quellin.exe"
    msiexec /i "$(winpath "$PACKAGE")" /qn
    expect_eq "upgrade exit code" 0 "$RC"
    expect_installed "upgraded"
    expect_profiles "upgraded"
    # The older version's removal is no uninstall: the key has the
    # package's access (checked above), and the record of the access before
    # the first installation stays.
    expect_eq "upgraded: access before the installation" "REG_SZ inherited" \
        "$(reg_value "$PRODUCT_KEY\\Wireless Controller" "Parameters Access")"
    [ -e "$(folder)/0.9.0" ] && fail "upgraded: the older version's driver folder is left"
    key_exists "$OEM\\VID_845E&PID_0002\\OEMForceFeedback" && fail "upgraded: 845E:0002's force feedback entries are left"
    expect_eq "upgraded: second device" "" "$(reg_value "$PARAMETERS" "Supported Device Attribute 1")"
    expect_eq "upgraded: sheet" 'REG_SZ C:\sheet.dll' "$(reg_value "$SHEET\\InprocServer32" "")"
    expect_eq "upgraded: autostart" "" "$(reg_value "$RUN" "Corvane Wireless Controller")"
    expect_eq "version in Apps & features" "REG_SZ 1.0.0" \
        "$(reg_value "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$(product_code)" DisplayVersion)"
    # The older version does not go back over the newer one; another build of
    # the same version replaces it.
    msiexec /i "$(winpath "$OLDER_PACKAGE")" /qn
    expect_eq "downgrade exit code" $((1603 & 255)) "$RC"
    local code
    code=$(product_code)
    msiexec /i "$(winpath "$BIN_DIR/CorvaneWirelessController.msi")" /qn
    expect_eq "same version's exit code" 0 "$RC"
    expect_eq "same version: Apps & features entries" 1 "$(entries)"
    [ "$(product_code)" != "$code" ] || fail "the same version's build did not replace the installed one"
}

UninstallRemovesAllButSettings() {
    new_prefix
    # The user's settings are older than this installation: the key's
    # access from then comes back with the uninstall.
    add_profiles
    local before
    before=$(access)
    msiexec /i "$(winpath "$PACKAGE")" /qn 'SHEET=C:\sheet.dll'
    expect_eq "exit code" 0 "$RC"
    expect_eq "installed: access" "$PARAMETERS_ACCESS" "$(access)"
    msiexec /x "$(winpath "$PACKAGE")" /qn
    expect_eq "uninstall exit code" 0 "$RC"
    expect_removed "uninstalled"
    expect_profiles "uninstalled"
    expect_eq "uninstalled: Parameters key access" "$before" "$(access)"
    expect_logged "uninstalled" "putting back the Parameters key's access from before the installation: status 0"
}

FailingInstallLeavesNothing() {
    new_prefix
    add_profiles
    local before
    before=$(access)
    msiexec /i "$(winpath "$PACKAGE")" /qn ROLLBACKTEST=1
    expect_eq "exit code" $((1603 & 255)) "$RC"
    expect_removed "rolled back"
    expect_profiles "rolled back"
    expect_eq "Parameters key access" "$before" "$(access)"
    expect_logged "rolled back" "setting the Parameters key's access: status 0" \
        "failing the installation on purpose (ROLLBACKTEST)" "rollback: restoring the Parameters key's access: status 0"
    # A key whose access the installer may not read: without it a rollback
    # could restore nothing, so the installation stops before it changes anything.
    set_access 'O:SYD:P(A;;KA;;;SY)(A;;0xC0000;;;WD)'
    msiexec /i "$(winpath "$PACKAGE")" /qn
    expect_eq "unreadable key: exit code" $((1603 & 255)) "$RC"
    expect_logged "unreadable key" "reading the Parameters key's access: status 5"
    expect_removed "unreadable key"
    # A key whose access the installer may not change (all rights but
    # WRITE_DAC and WRITE_OWNER, owned by another): the installation fails
    # and rolls back.
    set_access 'O:SYD:P(A;;0x3003F;;;WD)'
    before=$(access)
    msiexec /i "$(winpath "$PACKAGE")" /qn
    expect_eq "unchangeable key: exit code" $((1603 & 255)) "$RC"
    expect_logged "unchangeable key" "opening the Parameters key to set its access: status 5"
    expect_removed "unchangeable key"
    expect_profiles "unchangeable key"
    expect_eq "unchangeable key: access" "$before" "$(access)"
}

if ! declare -F "$case_name" >/dev/null; then
    echo "install_test: no case $case_name" >&2
    exit 2
fi
"$case_name"
if [ $failures -gt 0 ]; then
    echo "$case_name: $failures checks FAILED (msiexec's logs: ${WINEPREFIX:-no prefix}/drive_c/msiexec-*.log)"
    exit 1
fi
echo "$case_name: passed"
