#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and demonstrates
# with, when any is missing, and makes 32-bit Windows programs run under Wine
# for the 32-bit driver's tests. Safe to run again.
set -euo pipefail
packages=(
    cmake ninja-build g++ make pkg-config
    googletest libgtest-dev libgmock-dev libbenchmark-dev valgrind
    mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
    wine wine64 wine32:i386 fonts-wine xvfb xauth x11-utils xdotool imagemagick gnuplot-nox python3 clang-format
    wixl msitools osslsigncode openssl
)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

install() {
    echo "setup: installing $*"
    # A mirror in mid-sync fails one index or another; what it did fetch is
    # enough for the install, which then says what is really missing.
    $sudo apt-get update -qq || echo "setup: apt-get update failed in part; installing from the indexes it has" >&2
    $sudo apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# 32-bit Wine is a package of the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] && ! install "${missing[@]}"; then
    # 32-bit Wine needs every i386 library at the very version of its amd64
    # twin; a mirror whose i386 security index is out of step cannot give
    # them. Everything else is still installed: only the x86 driver's run
    # under Wine is left out, and scripts/test.sh says so.
    rest=()
    for p in "${missing[@]}"; do [[ $p == *:i386 ]] || rest+=("$p"); done
    echo "setup: the i386 packages cannot be installed from this mirror; installing the rest" >&2
    install "${rest[@]}"
fi

# Wine's 32-bit loader is a 32-bit Linux program. Where the kernel runs none
# ("Exec format error"), qemu-i386 runs it, registered in binfmt_misc for
# 32-bit x86 programs; F opens the interpreter now, so that it is found from
# any mount namespace. Where the kernel runs them itself, nothing is
# registered: the emulation is slow and runs threads unreliably.
if ! "$(dirname "$0")/wine32" --version >/dev/null 2>&1; then
    installed qemu-user || install qemu-user
    # A machine that lets nobody mount binfmt_misc or register in it still
    # builds and tests everything else: only the x86 driver's run under Wine
    # is left out, and scripts/test.sh says so.
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        $sudo mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || true
    fi
    if [ -e /proc/sys/fs/binfmt_misc/register ] && [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
        magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
        mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
        echo ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386:F" | $sudo tee /proc/sys/fs/binfmt_misc/register >/dev/null ||
            true
    fi
    "$(dirname "$0")/wine32" --version >/dev/null 2>&1 ||
        echo "setup: 32-bit programs do not run here, even with qemu-i386 in binfmt_misc:" \
            "the x86 driver's tests under Wine cannot run" >&2
fi
