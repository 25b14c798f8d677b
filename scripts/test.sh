#!/usr/bin/env bash
# The whole test run: set-up, every build, every test. Ends with ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
for preset in windows-x86 windows native native-asan native-tsan; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
done

status=0
for preset in native native-asan native-tsan; do
    echo "== ctest --preset $preset"
    ctest --preset "$preset" -j "$jobs" || status=1
done
echo "== ctest --preset windows (under Wine)"
ctest --preset windows -j "$jobs" || status=1
echo "== ctest --preset windows-x86 (the 32-bit driver under 32-bit Wine)"
if scripts/wine32 --version >/dev/null 2>&1; then
    ctest --preset windows-x86 || status=1
else
    echo "NOT RUN: this machine runs no 32-bit program, not even emulated (see scripts/setup.sh's message);"
    echo "the x86 driver is built and its image and registration are checked by the windows tests"
fi
exit $status
