#!/usr/bin/env bash
# The demo's walk through the product, under Wine, in a prefix of its own:
# install it with msiexec and the product's package as an administrator
# would, work the tray program with the mouse in a Wine desktop and check
# every step from outside (registry, windows, processes, the screen), play
# effects through the force feedback driver and record the Motor Reports.
# The controller is the virtual one (tools/virtual_controller), which Wine's
# own HID stack serves: it is plugged in and pulled out, it receives the
# Reload Requests and the Motor Reports, and its driver takes up the profile.
# Prints each step in plain words and writes the results (screenshots, a plot,
# a summary) to the output folder. Exit code 0 when every step worked.
#
# scripts/demo.sh runs it after the build; the end-to-end test runs it with
# --no-screenshots.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

usage() {
    cat <<'EOF'
Usage: walkthrough.sh --bin DIR [--work DIR] [--out DIR] [--display | --xvfb[=:N]] [--no-screenshots]

  --bin DIR         the Windows build's programs (quellin.exe, brasquet.dll, tovarin_standin.dll,
                    ffhost.exe, winprobe.exe, vcontroller.exe and its drivers) and the product's
                    package CorvaneWirelessController.msi
  --work DIR        where the Wine prefix and the logs go (default build/demo)
  --out DIR         where the results go (default demo-out)
  --display         show the Wine desktop on the display in $DISPLAY
  --xvfb[=:N]       on a virtual display of its own (the default; N picked when not given)
  --no-screenshots  no pictures (the end-to-end test)
EOF
}

bin="" work="$root/build/demo" out="$root/demo-out" display_mode=xvfb xvfb_display="" screenshots=1
while [ $# -gt 0 ]; do
    case "$1" in
    --bin) bin=${2:-}; shift 2 ;;
    --work) work=${2:-}; shift 2 ;;
    --out) out=${2:-}; shift 2 ;;
    --display) display_mode=user; shift ;;
    --xvfb) display_mode=xvfb; shift ;;
    --xvfb=*) display_mode=xvfb; xvfb_display=${1#--xvfb=}; shift ;;
    --no-screenshots) screenshots=0; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "walkthrough: unknown argument $1" >&2; usage >&2; exit 2 ;;
    esac
done
if [ -z "$bin" ]; then
    echo "walkthrough: --bin is missing" >&2
    exit 2
fi
for f in quellin.exe brasquet.dll tovarin_standin.dll ffhost.exe winprobe.exe vcontroller.exe vcbus.sys vchid.sys \
    vcontroller.inf CorvaneWirelessController.msi; do
    if [ ! -f "$bin/$f" ]; then
        echo "walkthrough: $bin/$f is missing: build the windows preset first" >&2
        exit 2
    fi
done
if [ "$display_mode" = user ] && [ -z "${DISPLAY:-}" ]; then
    echo "walkthrough: --display needs DISPLAY set" >&2
    exit 2
fi
case "$xvfb_display" in "" | :[0-9]*) ;; *) echo "walkthrough: --xvfb=:N takes a display number" >&2; exit 2 ;; esac

bin=$(cd "$bin" && pwd)
mkdir -p "$work" "$out"
work=$(cd "$work" && pwd)
out=$(cd "$out" && pwd)
rm -rf "$out"/* "$work/logs"
mkdir -p "$work/logs" "$out/effects"

prefix="$work/prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_env="$root/scripts/wine-env.sh"
# Every program here is 64-bit: the 64-bit loader, never the 32-bit one.
wine() { "$root/scripts/wine64" "$@"; }

# What the demo installs: the controller is the virtual controller 7C4A:0102,
# the product's default, and three profiles, two named like programs Wine
# brings along.
install_dir_win='C:\Program Files\Corvane Wireless Controller'
install_dir="$prefix/drive_c/Program Files/Corvane Wireless Controller"
# The product's own package, and where the property sheet component lies.
package=CorvaneWirelessController.msi
controller=7C4A:0102
sheet_dir_win='C:\Program Files\Corvane Sheet'
sheet_dir="$prefix/drive_c/Program Files/Corvane Sheet"
parameters='HKLM\SYSTEM\CurrentControlSet\Services\CorvaneWirelessController\Parameters'
driver_clsid='{7A3C91E4-52B8-4F1D-9C6A-3E0B8D2F4A61}'
sheet_clsid='{7A3C91E5-52B8-4F1D-9C6A-3E0B8D2F4A61}'
oem_key='HKLM\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_7C4A&PID_0102\OEMForceFeedback'
default_block=0103000000000000000000000F0F5F5F32321D1E1F201D1E1F20000000000000000064646464646464641100000000001D1E1F2000000000646464641B1C000064640F0F5F5F55551112131415161718191A1D00000000000000000000006464646464646464646464000150501464010100000000000000000000010000
desktop_name="Corvane demo"

# block_with OFFSET HEXBYTES: the default Settings Block with bytes changed at
# OFFSET; the restart bytes (123, 124) stay, so no restart notice comes up.
block_with() {
    local offset=$1 bytes=$2
    echo "${default_block:0:$((offset * 2))}$bytes${default_block:$((offset * 2 + ${#bytes}))}"
}
profile_names=("Default settings" "Racing" "notepad.exe" "winemine.exe")
profile_blocks=("$default_block" "$(block_with 107 6464)" "$(block_with 12 2020)" "$(block_with 16 4040)")

# ------------------------------------------------------------------ steps
step_no=0
failures=0
summary="$out/summary.txt"
: >"$work/logs/steps.txt"
started=$(date +%s)

# step TITLE FUNCTION: runs FUNCTION, which sets DETAIL and returns 0 when
# the step worked; prints and records the outcome.
step() {
    local title=$1 fn=$2 t0 ms result
    step_no=$((step_no + 1))
    printf 'Step %2d: %s\n' "$step_no" "$title"
    DETAIL=""
    t0=$(date +%s%N)
    if "$fn"; then result="worked"; else result="FAILED"; failures=$((failures + 1)); fi
    ms=$((($(date +%s%N) - t0) / 1000000))
    printf '         %s: %s (%d.%d s)\n' "$result" "$DETAIL" $((ms / 1000)) $((ms % 1000 / 100))
    printf '%s|%s|%s\n' "$result" "$title" "$DETAIL" >>"$work/logs/steps.txt"
}

# ------------------------------------------------------------------ helpers
winpath() { local p=$1; echo "Z:${p//\//\\}"; }
probe() { wine "$bin/winprobe.exe" "$@" 2>>"$work/logs/wine.log" | tr -d '\r'; }
vc() { wine "$bin/vcontroller.exe" "$@" 2>>"$work/logs/wine.log" | tr -d '\r'; }
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" | head -1; }

# reg_data KEY NAME: the data of one registry value, as reg.exe shows it
reg_data() {
    wine reg query "$1" /v "$2" 2>>"$work/logs/wine.log" | tr -d '\r' |
        sed -n "s/^    $2    [A-Z_]*    //p" | head -1
}
reg_default() {
    wine reg query "$1" /ve 2>>"$work/logs/wine.log" | tr -d '\r' |
        sed -n 's/^    (Default)    [A-Z_]*    //p' | head -1
}
current_index() { printf '%d' "$(reg_data "$parameters" "Current Setting Index")" 2>/dev/null; }

# wait_for SECONDS COMMAND...: repeats COMMAND until it succeeds
wait_for() {
    local deadline=$(($(date +%s) + $1))
    shift
    until "$@"; do
        [ "$(date +%s)" -ge "$deadline" ] && return 1
        sleep 0.2
    done
}
index_is() { [ "$(current_index)" = "$1" ]; }

click() { xdotool mousemove --window "$desktop_window" "$1" "$2" click "${3:-1}"; }
point_at() { xdotool mousemove --window "$desktop_window" "$1" "$2"; }
# A click on the tray icon, the pointer then moved off it onto the taskbar:
# resting on the icon it would bring up the icon's tip over the menu, and
# the menu opens where the pointer is when it comes up.
click_icon() {
    click "$icon_x" "$icon_y" "$1"
    point_at $((icon_x - 60)) "$icon_y"
}
double_click_icon() {
    xdotool mousemove --window "$desktop_window" "$icon_x" "$icon_y" click --repeat 2 --delay 120 1
    point_at $((icon_x - 60)) "$icon_y"
}
# An empty spot of the desktop, beside every window the demo opens.
empty_spot() { echo "900 300"; }
dismiss_menu() {
    # shellcheck disable=SC2046
    click $(empty_spot)
    probe menu --gone --wait 3000 >/dev/null
}

shot() {
    [ "$screenshots" = 1 ] || return 0
    import -window "$desktop_window" "$out/$1" 2>>"$work/logs/wine.log"
}

# inset PNG LEFT TOP RIGHT BOTTOM SCALE CAPTION: adds that part of the
# picture, enlarged, at its top right, so that a small icon or menu on a
# large desktop is seen at once.
inset() {
    local png=$1 left=$2 top=$3 right=$4 bottom=$5 scale=$6 caption=$7
    [ "$screenshots" = 1 ] && [ -f "$png" ] || return 0
    local w=$((right - left)) h=$((bottom - top))
    local x=$((1024 - w * scale - 6 - 16)) y=70
    convert "$png" \( +clone -crop "${w}x${h}+$left+$top" +repage -scale "$((scale * 100))%" \
        -bordercolor '#aa3333' -border 3 \) -geometry "+$x+$y" -composite \
        -stroke none -fill white -undercolor '#1b3f55' -font DejaVu-Sans -pointsize 18 \
        -gravity NorthEast -annotate "+16+$((y - 32))" " $caption " \
        "$png" 2>>"$work/logs/wine.log" || true
}
# menu_inset PNG CAPTION: the menu just read and the tray icon below it
menu_inset() {
    local left=$MENU_LEFT
    [ $((icon_x - 20)) -lt "$left" ] && left=$((icon_x - 20))
    inset "$1" $((left - 8)) $((MENU_TOP - 8)) 1024 768 2 "$2"
}

# The popup menu now shown, read from the screen: sets MENU (the probe's
# lines), MENU_EXE, and item_y N / item_line N for the items.
menu_no=0
read_menu() {
    menu_no=$((menu_no + 1))
    # What the probe saw is kept, to look at when a step fails.
    MENU=$(probe menu --wait "${1:-4000}" --save "$(winpath "$work/logs/menu-$menu_no.ppm")") || return 1
    echo "$MENU" >"$work/logs/menu-$menu_no.txt"
    local head
    head=$(echo "$MENU" | head -1)
    MENU_LEFT=$(echo "$head" | field left)
    MENU_TOP=$(echo "$head" | field top)
    MENU_EXE=$(echo "$MENU" | head -1 | field exe)
}
item_line() { echo "$MENU" | grep "^item=$1 "; }
item_y() { item_line "$1" | field y; }
item_x() { item_line "$1" | field x; }
item_count() { echo "$MENU" | grep -c '^item='; }
# profile_states STATE: what the profile menu must show, item by item, with
# the current profile checked
profile_states() {
    local i current list=()
    current=$(current_index)
    for i in 0 1 2 3; do
        if [ "$i" = "$current" ]; then list+=("$1/yes"); else list+=("$1/no"); fi
    done
    echo "${list[*]}"
}
# menu_states: "enabled/yes enabled/no ..." (state/mark of each item)
menu_states() { echo "$MENU" | grep '^item=' | sed 's/.*state=\([a-z]*\) mark=\([a-z]*\).*/\1\/\2/' | tr '\n' ' ' | sed 's/ $//'; }

# Reload Requests at the controller itself: trace_mark is the number of
# feature reports it has received; check_reload MARK holds when exactly one
# more came since, the 32-byte all-zero Reload Request, and the controller's
# driver then took up the Current Setting that the registry holds.
feature_reports() { vc reports "$controller" | awk '$2 == "feature"'; }
trace_mark() { feature_reports | wc -l; }
check_reload() {
    local requests setting current
    requests=$(feature_reports | tail -n +"$(($1 + 1))")
    RELOAD_TEXT="no Reload Request reached the controller"
    [ -n "$requests" ] || return 1
    RELOAD_TEXT="the controller received $(echo "$requests" | wc -l) feature reports: $(echo "$requests" | cut -d' ' -f2- | head -3)"
    [ "$(echo "$requests" | wc -l)" = 1 ] || return 1
    # The bytes: every field between the kind and the completion.
    [ "$(echo "$requests" | awk '{ for (i = 3; i < NF; ++i) printf "%s", $i }')" = "$(printf '0%.0s' $(seq 64))" ] || return 1
    setting=$(vc setting "$controller" | tr -d ' ')
    current=$(reg_data "$parameters" "Current Setting")
    RELOAD_TEXT="one Reload Request (32 zero bytes) reached the controller $controller, but its driver holds ${setting:0:24}..., not the Current Setting"
    [ -n "$current" ] && [ "${setting^^}" = "${current^^}" ] || return 1
    RELOAD_TEXT="the controller $controller received one Reload Request (32 zero bytes) after the registry write, and its driver took up the new Current Setting (vcontroller setting: ${setting:0:16}...)"
}

same_block_as_profile() {
    local current profile
    current=$(reg_data "$parameters" "Current Setting")
    profile=$(reg_data "$parameters" "Setting $1")
    [ -n "$current" ] && [ "$current" = "$profile" ]
}

# ------------------------------------------------------------------ the display
xvfb_pid=""
desktop_window=""
start_display() {
    if [ "$display_mode" = user ]; then
        DETAIL="the Wine desktop opens on your display $DISPLAY"
        xdpyinfo >/dev/null 2>&1
        return
    fi
    local fifo="$work/logs/displayfd" n
    rm -f "$fifo"
    if [ -n "$xvfb_display" ]; then
        if [ -e "/tmp/.X${xvfb_display#:}-lock" ]; then
            DETAIL="display $xvfb_display is taken by another X server"
            return 1
        fi
        Xvfb "$xvfb_display" -screen 0 1024x768x24 -nolisten tcp >"$work/logs/xvfb.log" 2>&1 &
        xvfb_pid=$!
        n=${xvfb_display#:}
    else
        # Xvfb picks a free display number itself and tells it on fd 3.
        Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >"$work/logs/xvfb.log" 2>&1 &
        xvfb_pid=$!
        for _ in $(seq 50); do [ -s "$fifo" ] && break; sleep 0.1; done
        n=$(head -1 "$fifo" 2>/dev/null)
    fi
    export DISPLAY=":$n"
    for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
    DETAIL="virtual display $DISPLAY (Xvfb, 1024x768)"
    kill -0 "$xvfb_pid" 2>/dev/null && xdpyinfo >/dev/null 2>&1
}

# ------------------------------------------------------------------ steps' bodies
make_prefix() {
    "$wine_env" down "$prefix" >/dev/null 2>&1
    rm -rf "$prefix"
    # The display first: the server's desktop process, started with the
    # server, keeps the display it finds.
    "$wine_env" up "$prefix" "$DISPLAY" >>"$work/logs/wine.log" 2>&1 || { DETAIL="wineboot failed"; return 1; }
    # Wine's own fonts (Debian's fonts-wine), Marlett among them, which draws
    # the buttons of the title bars.
    if [ -d /usr/share/wine/fonts ]; then
        cp /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null
    fi
    # Every program of the demo runs in one Wine desktop with a taskbar.
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d "$desktop_name" /f >>"$work/logs/wine.log" 2>&1 &&
        wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v "$desktop_name" /d 1024x768 /f >>"$work/logs/wine.log" 2>&1
    DETAIL="$prefix, with Wine's virtual HID devices 845E:0001 and 845E:0002"
    [ -f "$prefix/system.reg" ]
}

# The controller's own driver comes first, as its driver package would: the
# virtual controller's bus and HID drivers, the stand-in for it.
install_drivers() {
    local said image
    said=$(vc install) || { DETAIL="vcontroller install failed: $said"; return 1; }
    echo "> vcontroller install: $said" >>"$out/install-output.txt"
    image=$(reg_data 'HKLM\SYSTEM\CurrentControlSet\Services\CorvaneWirelessController' ImagePath)
    DETAIL="vcontroller install: $said; the service CorvaneWirelessController runs $image"
    [ -n "$image" ]
}

install_product() {
    # The profiles stand in for ones the user made earlier with the property
    # sheet, which writes them into the Parameters key as reg.exe does here;
    # the installation leaves them as they are.
    local i
    wine reg add "$parameters" /v "Setting Count" /t REG_DWORD /d 4 /f >>"$work/logs/wine.log" 2>&1
    for i in 1 2 3; do
        wine reg add "$parameters" /v "Setting $i" /t REG_BINARY /d "${profile_blocks[$i]}" /f >>"$work/logs/wine.log" 2>&1
        wine reg add "$parameters" /v "Setting Name $i" /d "${profile_names[$i]}" /f >>"$work/logs/wine.log" 2>&1
    done
    # The property sheet component comes with the controller's own driver,
    # not with this package: it lies in a folder of its own.
    mkdir -p "$sheet_dir"
    cp "$bin/tovarin_standin.dll" "$sheet_dir/"
    # Silent, as an administrator deploys it; the demo starts quellin.exe
    # itself, so it does not start with the desktop.
    local args=(/i "$(winpath "$bin/$package")" /qn "SHEET=$sheet_dir_win\tovarin_standin.dll" AUTOSTART=0)
    echo "> msiexec /i \"$(winpath "$bin/$package")\" /qn SHEET=\"$sheet_dir_win\\tovarin_standin.dll\" AUTOSTART=0" \
        >>"$out/install-output.txt"
    wine msiexec "${args[@]}" /l "$(winpath "$work/logs/msiexec.log")" >>"$out/install-output.txt" 2>&1
    local rc=$?
    echo "msiexec ended with exit code $rc" >>"$out/install-output.txt"
    if [ $rc -ne 0 ]; then
        DETAIL="msiexec ended with $rc (see install-output.txt and logs/msiexec.log)"
        return 1
    fi
    # The entry in Apps & features, as Wine's uninstaller lists it.
    local entry
    entry=$(wine uninstaller --list 2>>"$work/logs/wine.log" | tr -d '\r' | grep '|||Corvane Wireless Controller$')
    echo "Apps & features: $entry" >>"$out/install-output.txt"
    # What a Windows user would check with regedit.
    local problems=() server model ffclsid count attr names ids
    server=$(reg_default "HKLM\\SOFTWARE\\Classes\\CLSID\\$driver_clsid\\InprocServer32")
    model=$(reg_data "HKLM\\SOFTWARE\\Classes\\CLSID\\$driver_clsid\\InprocServer32" ThreadingModel)
    [ -n "$entry" ] || problems+=("no entry in Apps & features")
    # The driver is in the folder of the package's version.
    local version
    version=$(msiinfo export "$bin/$package" Property | tr -d '\r' | sed -n 's/^ProductVersion\t//p')
    [ "$server" = "$install_dir_win\\$version\\brasquet.dll" ] || problems+=("driver class server is '$server'")
    [ "$model" = Both ] || problems+=("ThreadingModel is '$model'")
    [ -n "$(reg_default "HKLM\\SOFTWARE\\Classes\\CLSID\\$sheet_clsid\\InprocServer32")" ] ||
        problems+=("property sheet component not registered")
    ffclsid=$(reg_data "$oem_key" CLSID)
    [ "$ffclsid" = "$driver_clsid" ] || problems+=("OEMForceFeedback CLSID is '$ffclsid'")
    # The effect list: GUID_ConstantForce .. GUID_CustomForce with ids 0..11.
    ids=$(wine reg query "$oem_key\\Effects" /s 2>>"$work/logs/wine.log" | tr -d '\r' | awk '
        /\\Effects\\\{13541C/ { guid = $0; sub(/.*\{13541C/, "", guid); guid = substr(guid, 1, 2) }
        /^    Attributes    REG_BINARY/ { printf "%s:%s ", guid, substr($3, 1, 2) }')
    [ "$ids" = "20:00 21:01 22:02 23:03 24:04 25:05 26:06 27:07 28:08 29:09 2A:0A 2B:0B " ] ||
        problems+=("effect list is '$ids'")
    count=$(reg_data "$parameters" "Supported Device Count")
    attr=$(reg_data "$parameters" "Supported Device Attribute 0")
    [ "$count" = 0x1 ] && [ "$attr" = 0x7c4a0102 ] || problems+=("Supported Device List is $count: $attr")
    names="$(reg_data "$parameters" "Setting Name 1"), $(reg_data "$parameters" "Setting Name 2"), $(reg_data "$parameters" "Setting Name 3")"
    [ "$(reg_data "$parameters" "Setting Count")" = 0x4 ] && [ "$names" = "Racing, notepad.exe, winemine.exe" ] ||
        problems+=("profiles are $names")
    if [ ${#problems[@]} -gt 0 ]; then
        DETAIL="${problems[*]}"
        return 1
    fi
    DETAIL="msiexec installed quellin.exe and brasquet.dll in $install_dir_win (the driver in $version\\), registered brasquet.dll (ThreadingModel Both) and its force feedback entries for VID_7C4A&PID_0102 with the 12 effect types at indexes 0-11, the property sheet component and the Supported Device List 0x7C4A0102, kept the profiles $names, and listed the entry $entry in Apps & features"
}

quellin_pid=""
start_tray() {
    (cd "$install_dir" && exec "$root/scripts/wine64" quellin.exe) 2>>"$work/logs/wine.log" >/dev/null &
    quellin_pid=$!
    local window tray
    window=$(probe window "quellin class" "quellin window" --wait 15000) || { DETAIL="no hidden window 'quellin window'"; return 1; }
    for _ in $(seq 50); do
        desktop_window=$(xdotool search --name "^$desktop_name - Wine desktop\$" 2>/dev/null | head -1)
        [ -n "$desktop_window" ] && break
        sleep 0.1
    done
    [ -n "$desktop_window" ] || { DETAIL="no Wine desktop window"; return 1; }
    probe mutex "quellin mutex" >/dev/null || { DETAIL="'quellin mutex' is not held"; return 1; }
    sleep 1
    probe tray --gone >/dev/null || { DETAIL="an icon is shown with no controller connected"; return 1; }
    DETAIL="quellin.exe runs (hidden window 'quellin window' of class 'quellin class', 'quellin mutex' held); with no controller connected it shows no icon"
}

# The controller arrives: nothing is sent to the program by hand, it hears
# the arrival from the system.
plug_controller() {
    local said tray
    said=$(vc plug "$controller") || { DETAIL="vcontroller plug failed: $said"; return 1; }
    tray=$(probe tray --wait 8000) || { DETAIL="$said; no icon in the notification area ($tray)"; return 1; }
    icon_x=$(echo "$tray" | field x)
    icon_y=$(echo "$tray" | field y)
    # Hover over the icon for its tip, as a person would.
    point_at "$icon_x" "$icon_y"
    sleep 1.5
    shot 01-desktop-with-tray-icon.png
    inset "$out/01-desktop-with-tray-icon.png" $((icon_x - 200)) $((icon_y - 45)) 1024 768 3 \
        "Enlarged: the controller icon in the notification area, with its tip"
    # shellcheck disable=SC2046
    point_at $(empty_spot)
    DETAIL="vcontroller: $said; the icon appears at the right end of the taskbar ($icon_x,$icon_y)"
}

second_instance() {
    local rc
    (cd "$install_dir" && wine quellin.exe) >/dev/null 2>>"$work/logs/wine.log"
    rc=$?
    probe window "quellin class" "quellin window" >/dev/null || { DETAIL="the first instance is gone"; return 1; }
    DETAIL="a second quellin.exe ended at once with exit code $rc; the first one still runs"
    [ $rc -eq 183 ]
}

profile_menu() {
    click_icon 1
    read_menu || { DETAIL="no menu after a click on the icon"; return 1; }
    # shellcheck disable=SC2046
    point_at $(empty_spot)
    local states
    states=$(menu_states)
    DETAIL="$(item_count) profiles in the menu of $MENU_EXE, item by item (state/check mark): $states"
    [ "$MENU_EXE" = quellin.exe ] && [ "$states" = "$(profile_states enabled)" ]
}

choose_profile() {
    local mark
    mark=$(trace_mark)
    click "$(item_x 1)" "$(item_y 1)"
    if ! wait_for 5 index_is 1; then
        DETAIL="'Current Setting Index' is $(current_index), not 1"
        return 1
    fi
    same_block_as_profile 1 || { DETAIL="'Current Setting' differs from 'Setting 1'"; return 1; }
    wait_for 3 check_reload "$mark"
    local reload_ok=$?
    # The menu again, for its picture with the check mark moved.
    click_icon 1
    read_menu || { DETAIL="the profile menu did not open again"; return 1; }
    local states
    states=$(menu_states)
    point_at "$(item_x 1)" "$(item_y 1)"
    sleep 0.3
    shot 02-profile-menu-with-check-mark.png
    menu_inset "$out/02-profile-menu-with-check-mark.png" "Enlarged: the profile menu; the check mark is on Racing"
    dismiss_menu
    DETAIL="'Current Setting Index' = 1 and 'Current Setting' = the Racing block in the registry; $RELOAD_TEXT; the menu now checks Racing ($states)"
    [ $reload_ok -eq 0 ] && [ "$states" = "$(profile_states enabled)" ]
}

auto_switch_on() {
    click_icon 3
    read_menu || { DETAIL="no context menu after a right click"; return 1; }
    local states
    states=$(menu_states)
    point_at "$(item_x 1)" "$(item_y 1)"
    sleep 0.3
    shot 03-context-menu.png
    menu_inset "$out/03-context-menu.png" "Enlarged: the context menu of the icon"
    click "$(item_x 1)" "$(item_y 1)"
    local flag
    for _ in $(seq 25); do
        flag=$(reg_data "$parameters" "Auto Setting Change")
        [ "$flag" = 01 ] && break
        sleep 0.2
    done
    DETAIL="context menu of $MENU_EXE: Properties, Auto setting change, Exit ($states); after the click 'Auto Setting Change' = $flag"
    [ "$states" = "enabled/no enabled/no enabled/no" ] && [ "$flag" = 01 ]
}

# bring_to_front EXE INDEX: start a program Wine brings along; its profile
# must become current.
bring_to_front() {
    local exe=$1 index=$2 mark fg
    mark=$(trace_mark)
    wine "$exe" >/dev/null 2>>"$work/logs/wine.log" &
    if ! fg=$(probe foreground --exe "$exe" --wait 8000); then
        DETAIL="$exe did not come to the front"
        return 1
    fi
    if ! wait_for 6 index_is "$index"; then
        DETAIL="$exe is in front but 'Current Setting Index' is $(current_index), not $index"
        return 1
    fi
    same_block_as_profile "$index" || { DETAIL="'Current Setting' differs from 'Setting $index'"; return 1; }
    wait_for 3 check_reload "$mark"
    local reload_ok=$?
    DETAIL="$exe in front: 'Current Setting Index' = $index and 'Current Setting' = its profile's block; $RELOAD_TEXT"
    return $reload_ok
}
notepad_in_front() { bring_to_front notepad.exe 2; }
winemine_in_front() {
    bring_to_front winemine.exe 3 || return 1
    local detail=$DETAIL
    # The profile menu shows the switch too.
    click_icon 1
    read_menu || { DETAIL="the profile menu did not open"; return 1; }
    local states
    states=$(menu_states)
    point_at 700 600
    sleep 0.3
    shot 04-automatic-switch.png
    menu_inset "$out/04-automatic-switch.png" "Enlarged: winemine.exe in front, its profile checked"
    dismiss_menu
    probe close Notepad >/dev/null
    probe close WineMine >/dev/null
    probe window Notepad --gone --wait 3000 >/dev/null
    probe window WineMine --gone --wait 3000 >/dev/null
    sleep 1.5
    DETAIL="$detail; the profile menu checks winemine.exe ($states); with both programs closed the profile stays (index $(current_index))"
    [ "$states" = "$(profile_states enabled)" ] && index_is 3
}

sheet_open() {
    double_click_icon
    local sheet
    if ! sheet=$(probe window '#32770' --exe quellin.exe --wait 8000); then
        DETAIL="no property sheet after a double click"
        return 1
    fi
    probe mutex "tovarin mutex" >/dev/null || { DETAIL="the sheet is open but 'tovarin mutex' is not held"; return 1; }
    sleep 0.5
    shot 05-property-sheet.png
    local title
    title=$(echo "$sheet" | sed -n 's/.*title="\([^"]*\)".*/\1/p' | head -1)
    DETAIL="a double click on the icon opened the property sheet \"$title\" in quellin.exe; 'tovarin mutex' is held"
}

sheet_grays_menus() {
    click_icon 3
    read_menu || { DETAIL="no context menu while the sheet is open"; return 1; }
    local context profiles exit_x exit_y index_before expected_profiles
    index_before=$(current_index)
    expected_profiles=$(profile_states grayed)
    context=$(menu_states)
    exit_x=$(item_x 2)
    exit_y=$(item_y 2)
    point_at 700 600
    sleep 0.3
    shot 06-grayed-menu-while-sheet-open.png
    menu_inset "$out/06-grayed-menu-while-sheet-open.png" "Enlarged: all grayed while the sheet is open"
    # Exit is grayed: clicking it must not end the program.
    click "$exit_x" "$exit_y"
    sleep 1
    dismiss_menu
    local alive=no
    probe window "quellin class" "quellin window" >/dev/null && alive=yes
    # A grayed profile cannot be chosen either.
    click_icon 1
    read_menu || { DETAIL="no profile menu while the sheet is open"; return 1; }
    profiles=$(menu_states)
    click "$(item_x 1)" "$(item_y 1)"
    sleep 1.5
    dismiss_menu
    local index
    index=$(current_index)
    DETAIL="context menu $context; profile menu $profiles; clicking the grayed Exit left quellin.exe running ($alive), clicking the grayed Racing left the current profile at index $index"
    [ "$context" = "grayed/no grayed/yes grayed/no" ] &&
        [ "$profiles" = "$expected_profiles" ] && [ $alive = yes ] && [ "$index" = "$index_before" ]
}

sheet_close() {
    probe close '#32770' --exe quellin.exe >/dev/null
    probe mutex "tovarin mutex" --gone --wait 5000 >/dev/null || { DETAIL="'tovarin mutex' still held"; return 1; }
    click_icon 3
    read_menu || { DETAIL="no context menu after the sheet closed"; return 1; }
    local states
    states=$(menu_states)
    dismiss_menu
    DETAIL="the sheet closed, 'tovarin mutex' is free and the context menu is enabled again ($states)"
    [ "$states" = "enabled/no enabled/yes enabled/no" ]
}

exit_tray() {
    click_icon 3
    read_menu || { DETAIL="no context menu"; return 1; }
    click "$(item_x 2)" "$(item_y 2)"
    local rc=none
    for _ in $(seq 50); do
        if ! kill -0 "$quellin_pid" 2>/dev/null; then
            wait "$quellin_pid"
            rc=$?
            break
        fi
        sleep 0.2
    done
    local mutex=held window=present
    probe mutex "quellin mutex" --gone >/dev/null && mutex=free
    probe window "quellin class" --gone >/dev/null && window=gone
    local icon=shown
    probe tray --gone >/dev/null && icon=gone
    DETAIL="Exit: quellin.exe ended with exit code $rc, its window is $window, 'quellin mutex' is $mutex, the icon is $icon"
    [ "$rc" = 0 ] && [ $mutex = free ] && [ $window = gone ] && [ $icon = gone ]
}

# The controller goes: the icon goes with it; back again, the icon returns.
unplug_controller() {
    local said
    said=$(vc unplug "$controller") || { DETAIL="vcontroller unplug failed: $said"; return 1; }
    probe tray --gone --wait 8000 >/dev/null || { DETAIL="$said; the icon is still shown"; return 1; }
    # shellcheck disable=SC2046
    point_at $(empty_spot)
    sleep 1
    shot 07-controller-pulled-out.png
    said="$said; the icon is gone"
    vc plug "$controller" >/dev/null || { DETAIL="$said; plugging in again failed"; return 1; }
    probe tray --wait 8000 >/dev/null || { DETAIL="$said; plugged in again, no icon"; return 1; }
    DETAIL="$said; plugged in again, it is back"
}

# The Motor Reports as the controller itself receives them, through the HID
# class driver: the driver bound to the controller's device interface.
device_rumble() {
    local run reports count
    run=$(wine "$bin/ffhost.exe" run --device "$controller" \
        --exec "wait 50; download wave sine magnitude=8000 period=200ms duration=600ms start; wait 800; release" \
        2>>"$work/logs/wine.log" | tr -d '\r') || { DETAIL="ffhost run --device failed: $run"; return 1; }
    echo "$run" >"$out/effects/device-timeline.txt"
    vc reports "$controller" | awk '$2 == "output"' >"$out/effects/device-reports.txt"
    # Each line: arrival, kind, the bytes, the completion; NF - 3 bytes.
    reports=$(awk '{ print $3, $4, $5, $6, NF - 3 }' "$out/effects/device-reports.txt")
    count=$(echo "$reports" | grep -c .)
    DETAIL="$count Motor Reports at the controller $controller (effects/device-reports.txt)"
    [ "$count" -gt 10 ] || return 1
    echo "$reports" | awk '$5 != 4 || $1 != "00" || $2 != "00" || $3 != $4 { exit 1 }' ||
        { DETAIL="$DETAIL, not all 00 00 s s"; return 1; }
    [ "$(echo "$reports" | tail -n1)" = "00 00 00 00 4" ] || { DETAIL="$DETAIL, the last is not all zero"; return 1; }
    DETAIL="$DETAIL, every one 4 bytes 00 00 s s, strength up to $(echo "$reports" | awk '{ print $3 }' | sort | tail -1) (hex), the last 00 00 00 00"
}

play_effects() {
    python3 "$here/effects.py" --host "$bin/ffhost.exe" --out "$out" --steps "$work/logs/effect-steps.txt" \
        --first-step $((step_no + 1)) --plot
    local rc=$?
    # The effects' steps count like the others.
    local line
    while IFS='|' read -r result title detail; do
        step_no=$((step_no + 1))
        printf '%s|%s|%s\n' "$result" "$title" "$detail" >>"$work/logs/steps.txt"
        [ "$result" = worked ] || failures=$((failures + 1))
    done <"$work/logs/effect-steps.txt"
    return $rc
}

# Our own processes: every one whose environment names our prefix, and Xvfb.
own_processes() {
    local p list=()
    for p in /proc/[0-9]*; do
        { tr "\0" "\n" <"$p/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$prefix" && list+=("${p#/proc/}")
    done
    [ -n "$xvfb_pid" ] && kill -0 "$xvfb_pid" 2>/dev/null && list+=("$xvfb_pid")
    echo "${list[*]}"
}

end_cleanly() {
    "$wine_env" down "$prefix" >/dev/null 2>&1
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
    local left
    left=$(own_processes)
    xvfb_pid=""
    DETAIL="wineserver ended; ${left:-no Wine or Xvfb process of the demo is left}"
    [ -z "$left" ]
}

safety_net() {
    "$wine_env" down "$prefix" >/dev/null 2>&1
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
}
trap safety_net EXIT
trap 'exit 130' INT TERM

# ------------------------------------------------------------------ the walk
echo "== Setting up: a Wine prefix, a display, the product installed"
step "Open a display for the Wine desktop" start_display
step "Make a Wine prefix of the demo's own" make_prefix
step "Install the controller's driver (the virtual controller's stand-in)" install_drivers
step "Install the product with msiexec and its package, as on Windows" install_product
echo "== The tray program quellin.exe"
step "Start quellin.exe: with no controller connected it shows no icon" start_tray
step "Plug in the controller: the icon appears in the notification area" plug_controller
step "A second quellin.exe ends at once" second_instance
step "A click on the icon opens the profile menu; the current profile is checked" profile_menu
step "Choose Racing: it becomes the current setting and the controller's driver takes it up" choose_profile
step "The context menu turns automatic switching on" auto_switch_on
step "notepad.exe comes to the front: its profile becomes current" notepad_in_front
step "winemine.exe comes to the front: its profile becomes current" winemine_in_front
step "A double click opens the controller's property sheet" sheet_open
step "While the sheet is open every menu item is grayed and does nothing" sheet_grays_menus
step "Closing the sheet frees the menus again" sheet_close
step "Pull out the controller: the icon goes; plugged in again, it returns" unplug_controller
step "Exit ends the program" exit_tray
echo "== The force feedback driver brasquet.dll, played by the host ffhost.exe"
play_effects
step "The controller itself receives the Motor Reports (ffhost --device)" device_rumble
echo "== Ending"
step "End cleanly" end_cleanly

elapsed=$(($(date +%s) - started))
python3 "$here/report.py" --steps "$work/logs/steps.txt" --out "$out" --seconds "$elapsed" \
    --screenshots "$screenshots"
if [ $failures -eq 0 ]; then
    echo "Every step worked ($step_no steps, ${elapsed} s). Results: $out/summary.txt"
    exit 0
fi
echo "$failures of $step_no steps FAILED (${elapsed} s). Results: $out/summary.txt"
exit 1
