#!/usr/bin/env bash
# Brings the Wine environment of the tests (or the demo) up and down.
#   wine-env.sh up PREFIX [:N]       make the 64-bit prefix if missing, start a persistent
#                                    wineserver (its desktop on display :N, which must be up)
#   wine-env.sh up-x86 PREFIX        the same for 32-bit programs: a prefix with its
#                                    32-bit half, no display
#   wine-env.sh down PREFIX          end the prefix's wineserver and every Wine process in it
#   wine-env.sh display-up PREFIX :N start Xvfb on display :N unless it runs
#   wine-env.sh display-down PREFIX :N stop that Xvfb
set -euo pipefail
cmd=${1:?command}; prefix=${2:?prefix}
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
scripts="$(cd "$(dirname "$0")" && pwd)"
wine64="$scripts/wine64"

fail() {
    echo "wine-env.sh: cannot make the Wine prefix $prefix: $*" >&2
    exit 1
}

# Wine 8 starts a 32-bit program with the loader beside the running one (its
# folder, the name less "64"), whatever WINELOADER says. Once 32-bit Wine is
# installed, a new 64-bit prefix therefore sets up its 32-bit half as well:
# a minute more, and where 32-bit programs run emulated, many minutes or a
# hang. The 64-bit prefixes are made by a copy of the 64-bit loader in a
# folder of its own that mirrors Wine's (the libraries and data it finds by
# relative paths), without the 32-bit loader: every 32-bit step of the set-up
# then fails at once, as on a machine without 32-bit Wine. Nothing global
# changes, and programs started later in the prefix use the real loaders.
loader_without_32bit_half() {
    local root=$1 loader bin lib usr mirror entry
    loader=$(readlink -f "$(sed -n 's/^loader=//p' "$wine64" | head -n1)")
    [ -x "$loader" ] || fail "no 64-bit Wine loader ($loader)"
    bin=$(dirname "$loader"); lib=$(dirname "$bin"); usr=$(dirname "$lib")
    mirror="$root/${lib##*/}/${bin##*/}"
    mkdir -p "$mirror"
    for entry in "$usr"/*; do [ "$entry" = "$lib" ] || ln -s "$entry" "$root/"; done
    for entry in "$lib"/*; do [ "$entry" = "$bin" ] || ln -s "$entry" "$root/${lib##*/}/"; done
    for entry in "$bin"/*; do
        case "${entry##*/}" in
        wine | wine-preloader | "${loader##*/}") ;;
        *) ln -s "$entry" "$mirror/" ;;
        esac
    done
    cp "$loader" "$mirror/"
    echo "$mirror/${loader##*/}"
}

# Makes the prefix with LOADER's wineboot, within SECONDS; a prefix that
# cannot be made ends the script with the reason.
make_prefix() {
    local loader=$1 seconds=$2 log="$prefix.wineboot.log" status=0
    rm -rf "$prefix"
    mkdir -p "$prefix"
    timeout --kill-after=10 "$seconds" "$loader" wineboot -i </dev/null >"$log" 2>&1 || status=$?
    if [ "$status" = 124 ] || [ "$status" = 137 ]; then
        wineserver -k 2>/dev/null || true
        fail "wineboot did not finish within $seconds s (its output: $log)"
    fi
    [ "$status" = 0 ] || fail "wineboot ended with status $status (its output: $log): $(tail -n 3 "$log")"
    # A crashing program must end instead of waiting on a crash dialog.
    "$wine64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >>"$log" 2>&1 ||
        fail "the new prefix runs no 64-bit program (its output: $log)"
    # The wineserver that made the prefix loses the virtual HID devices some
    # time later: end it, the tests get a fresh one.
    wineserver -k || true
    wineserver -w || true
    [ -f "$prefix/system.reg" ] && [ -d "$prefix/drive_c/windows/system32" ] ||
        fail "wineboot left no registry or no system folder (its output: $log)"
    touch "$prefix/.made"
}

case "$cmd" in
up)
    if [ ! -f "$prefix/system.reg" ] || [ ! -f "$prefix/.made" ]; then
        loaders=$(mktemp -d)
        trap 'rm -rf "$loaders"' EXIT
        make_prefix "$(loader_without_32bit_half "$loaders")" 150
    fi
    # A server left over from an earlier run may hold a desktop on another
    # display; start from a fresh one.
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    wineserver -p </dev/null >/dev/null 2>&1
    # Warm the server up so that the first test does not pay for it. This
    # starts the desktop process, which keeps the display it found.
    if [ -n "${3:-}" ]; then export DISPLAY="$3"; fi
    "$wine64" cmd /c exit >/dev/null 2>&1 || true
    ;;
up-x86)
    wine32="$scripts/wine32"
    "$wine32" --version >/dev/null 2>&1 ||
        fail "32-bit Wine does not run here ($("$wine32" --version 2>&1 | tail -n 1)); scripts/setup.sh installs it and, where the kernel runs no 32-bit program, registers qemu-i386 for them"
    if [ ! -f "$prefix/system.reg" ] || [ ! -f "$prefix/.made" ]; then
        # The set-up registers a browser that none of the tests use; under
        # the emulation it never ended.
        export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;iexplore.exe=d"
        make_prefix "$wine64" 1000
        "$wine32" cmd /c exit >>"$prefix.wineboot.log" 2>&1 ||
            fail "the new prefix runs no 32-bit program (its output: $prefix.wineboot.log)"
    fi
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    wineserver -p </dev/null >/dev/null 2>&1
    "$wine32" cmd /c exit >/dev/null 2>&1 || true
    ;;
down)
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    ;;
display-up)
    display=${3:?display}
    n=${display#:}
    if [ ! -e "/tmp/.X11-unix/X$n" ]; then
        setsid Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
        echo $! > "$prefix.xvfb.pid"
        for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
    fi
    ;;
display-down)
    if [ -f "$prefix.xvfb.pid" ]; then
        kill "$(cat "$prefix.xvfb.pid")" 2>/dev/null || true
        rm -f "$prefix.xvfb.pid"
    fi
    ;;
*)
    echo "usage: $0 up|up-x86|down|display-up|display-down PREFIX [DISPLAY]" >&2
    exit 2
    ;;
esac
