#!/usr/bin/env bash
# Installs the virtual controller's drivers in a kept test prefix.
#   install_drivers.sh PREFIX X64_BIN UP_ARGS...
# A driver stays loaded until the prefix's Wine restarts, and the prefixes of
# the tests are kept from run to run: images of another build than X64_BIN's
# are replaced first and the prefix's Wine is brought down and up again
# (wine-env.sh UP_ARGS...), so that the new ones load.
set -uo pipefail
prefix=$1 bin=$2
shift 2
root=$(cd "$(dirname "$0")/../../.." && pwd)
drivers="$prefix/drive_c/windows/system32/drivers"
if [ ! -f "$bin/vcontroller.exe" ]; then
    echo "no $bin/vcontroller.exe: the windows preset builds it (skipped)"
    exit 77
fi
stale=0
for image in vcbus.sys vchid.sys; do
    if [ -f "$drivers/$image" ] && ! cmp -s "$bin/$image" "$drivers/$image"; then stale=1; fi
done
if [ "$stale" = 1 ]; then
    echo "the prefix runs drivers of another build: replacing them and restarting its Wine"
    "$root/scripts/wine-env.sh" down "$prefix" >/dev/null 2>&1
    cp "$bin/vcbus.sys" "$bin/vchid.sys" "$drivers/"
    "$root/scripts/wine-env.sh" "$@" || exit 1
fi
WINEPREFIX=$prefix WINEDEBUG=-all timeout 120 "$root/scripts/wine64" "$bin/vcontroller.exe" install | tr -d '\r'
