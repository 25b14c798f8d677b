#!/usr/bin/env bash
# Brings the Wine environment of the tests (or the demo) up and down.
#   wine-env.sh up PREFIX [:N]       make the prefix if missing, start a persistent wineserver
#                                    (its desktop on display :N, which must be up already)
#   wine-env.sh down PREFIX          end the prefix's wineserver and every Wine process in it
#   wine-env.sh display-up PREFIX :N start Xvfb on display :N unless it runs
#   wine-env.sh display-down PREFIX :N stop that Xvfb
set -euo pipefail
cmd=${1:?command}; prefix=${2:?prefix}
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine64="$(dirname "$0")/wine64"

case "$cmd" in
up)
    if [ ! -f "$prefix/system.reg" ] || [ ! -f "$prefix/.made" ]; then
        rm -rf "$prefix"
        mkdir -p "$prefix"
        "$wine64" wineboot -i </dev/null >/dev/null 2>&1 || true
        # A crashing program must end instead of waiting on a crash dialog.
        "$wine64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
        # The wineserver that made the prefix loses the virtual HID devices some
        # time later: end it, the tests get a fresh one.
        wineserver -k || true
        wineserver -w || true
        touch "$prefix/.made"
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
    echo "usage: $0 up|down|display-up|display-down PREFIX [DISPLAY]" >&2
    exit 2
    ;;
esac
