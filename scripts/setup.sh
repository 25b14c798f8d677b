#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and demonstrates
# with, when any is missing. Safe to run again.
set -euo pipefail
packages=(
    cmake ninja-build g++ make pkg-config
    googletest libgtest-dev libgmock-dev libbenchmark-dev valgrind
    mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine64 fonts-wine xvfb xauth x11-utils xdotool imagemagick gnuplot-nox python3 clang-format
    wixl msitools
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "setup: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
