#!/usr/bin/env bash
# A build given a certificate signs the programs, the DLLs and the package:
#   codesign_test.sh
# It makes a throwaway self-signed code signing certificate with a password,
# configures a build of the deliverables in $SIGNED_BUILD_DIR with
# -DCODESIGN_PFX and the password in CODESIGN_PASSWORD, builds only the
# product's package (and what it needs), and checks every signature with
# osslsigncode verify. The build without a certificate signs nothing.
set -uo pipefail
: "${BIN_DIR:?the bin folder of the build without a certificate}" "${SIGNED_BUILD_DIR:?where the signed build goes}"
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export CODESIGN_PASSWORD="not on any command line $$"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/CN=Corvane Wireless Controller test signing" -addext "extendedKeyUsage=codeSigning" >/dev/null 2>&1 ||
    { echo "codesign_test: openssl made no certificate"; exit 1; }
openssl pkcs12 -export -out "$work/cert.pfx" -inkey "$work/key.pem" -in "$work/cert.pem" \
    -passout env:CODESIGN_PASSWORD >/dev/null 2>&1 || { echo "codesign_test: openssl made no PKCS#12 file"; exit 1; }

# A build of its own, from nothing, so that no earlier certificate or cache
# answers for this one.
rm -rf "$SIGNED_BUILD_DIR"
x86=()
[ -z "${X86_DLL:-}" ] || x86=(-DBRASQUET_X86_DLL="$X86_DLL")
if ! cmake -S "$root" -B "$SIGNED_BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCODESIGN_PFX="$work/cert.pfx" "${x86[@]}" \
    >"$work/configure.log" 2>&1; then
    cat "$work/configure.log"
    echo "codesign_test: the signed build did not configure"
    exit 1
fi
# Only what the product's package needs.
if ! cmake --build "$SIGNED_BUILD_DIR" --target corvane_package -j2 >"$work/build.log" 2>&1; then
    tail -30 "$work/build.log"
    echo "codesign_test: the signed build failed"
    exit 1
fi
bin=$SIGNED_BUILD_DIR/bin
verify() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.log" 2>&1; }

# The files the package carries, as it carries them, and the package.
mkdir -p "$work/extracted"
msiextract -C "$work/extracted" "$bin/CorvaneWirelessController.msi" >/dev/null 2>&1 || fail "msiextract failed"
files=("$bin/install_actions.dll" "$bin/CorvaneWirelessController.msi")
while IFS= read -r -d '' f; do files+=("$f"); done < <(find "$work/extracted" -type f \( -name '*.exe' -o -name '*.dll' \) -print0)
expected=3
[ -z "${X86_DLL:-}" ] || expected=4
[ $((${#files[@]} - 1)) -eq $expected ] || fail "expected $expected signed programs, found ${files[*]}"
for f in "${files[@]}"; do
    name=$(basename "$f")
    verify "$f" || fail "$name is not signed by the test certificate: $(tail -3 "$work/verify.log")"
    grep -q "Corvane Wireless Controller test signing" "$work/verify.log" || fail "$name: the signer is not named"
done
# The password reached the build through the environment alone.
grep -rlF "$CODESIGN_PASSWORD" "$SIGNED_BUILD_DIR/build.ninja" "$SIGNED_BUILD_DIR/CMakeCache.txt" >/dev/null &&
    fail "the certificate's password is in the build's files"
# Without a certificate nothing is signed.
for f in quellin.exe brasquet.dll install_actions.dll CorvaneWirelessController.msi; do
    osslsigncode verify -in "$BIN_DIR/$f" >/dev/null 2>&1 && fail "the unsigned build signed $f"
done

if [ $failures -gt 0 ]; then
    echo "SignedBuild: $failures checks FAILED"
    exit 1
fi
echo "SignedBuild: passed"
