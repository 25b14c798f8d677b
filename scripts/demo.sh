#!/usr/bin/env bash
# The demo is not there yet: until it is, this builds what exists.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)"
echo "demo: not yet written; the Windows build is in build/windows/bin/"
