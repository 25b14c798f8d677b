#!/usr/bin/env bash
# The demo: installs what is missing, builds the Windows programs, and shows
# both deliverables at work under Wine, in a Wine prefix of its own, on a
# virtual display (or yours with --display). Every step is printed and checked;
# the results (screenshots, a plot of the motor strength, a summary) go to
# demo-out/. Exit code 0 when every step worked.
#
#   scripts/demo.sh                 on a virtual display of its own
#   scripts/demo.sh --display       on the display in $DISPLAY, to watch it
#   scripts/demo.sh --xvfb=:N       on a virtual display with that number
set -euo pipefail
cd "$(dirname "$0")/.."

for arg in "$@"; do
    case "$arg" in
    -h | --help)
        sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    esac
done

t0=$(date +%s)
echo "== Set-up: the Debian packages the demo needs"
scripts/setup.sh
t1=$(date +%s)
echo "== Build: the Windows programs (windows-x86 preset: the x86 driver; windows preset: the rest)"
# The x86 driver first: the package takes it for 32-bit games.
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86 -j "$(nproc)" --target brasquet
cmake --preset windows >/dev/null
# Only what the demo runs: the deliverables, the product's package, the
# virtual controller and the programs that drive them.
cmake --build --preset windows -j "$(nproc)" --target quellin brasquet tovarin_standin ffhost winprobe \
    vcontroller corvane_package
t2=$(date +%s)
echo "== Set-up took $((t1 - t0)) s, the build $((t2 - t1)) s"

set +e
scripts/demo/walkthrough.sh --bin build/windows/bin --work build/demo --out demo-out "$@"
status=$?
set -e
echo "== The demo took $(($(date +%s) - t0)) s in all"
exit $status
