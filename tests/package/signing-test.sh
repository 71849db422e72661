#!/bin/sh
# Signing: with a throwaway certificate made here, the package and the
# program in it carry Authenticode signatures that osslsigncode verifies;
# the build's own package stays unsigned.
#   usage: signing-test.sh SOURCE_DIR ARCH PACKAGE PROGRAM VERSION WORK_DIR
set -u
source_dir=$1 arch=$2 package=$3 program=$4 version=$5 work=$6

failures=0
check() {
    what=$1
    shift
    if "$@" >>"$work/log" 2>&1; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
for tool in openssl osslsigncode msiextract; do
    command -v $tool >/dev/null || { echo "FAIL: $tool is missing (scripts/setup installs it)"; exit 1; }
done
rm -rf "$work"
mkdir -p "$work/extracted"
: >"$work/log"

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/O=Zimvor test/CN=VelmoMon test signing" -addext "extendedKeyUsage=codeSigning" >>"$work/log" 2>&1 &&
    openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/test.pfx" \
        -passout pass:throwaway >>"$work/log" 2>&1 || { cat "$work/log"; exit 1; }

signed=$work/VelmoMon-signed.msi
check "a signed $arch package is built" \
    env VELMO_SIGN_PASSWORD=throwaway cmake -DARCH="$arch" -DVERSION="$version" -DPROGRAM="$program" \
    -DOUTPUT="$signed" -DSIGN_CERT="$work/test.pfx" -P "$source_dir/cmake/BuildPackage.cmake"
check "the package's signature verifies" osslsigncode verify -CAfile "$work/cert.pem" -in "$signed"
check "the program is extracted from it" sh -c "cd '$work/extracted' && msiextract '$signed'"
packaged=$(find "$work/extracted" -name VelmoMon.exe | head -1)
check "the program's signature verifies" osslsigncode verify -CAfile "$work/cert.pem" -in "$packaged"
check "a signature by another certificate does not" sh -c \
    "openssl req -x509 -newkey rsa:2048 -nodes -keyout '$work/other.key' -out '$work/other.pem' -days 2 -subj /CN=other &&
     ! osslsigncode verify -CAfile '$work/other.pem' -in '$signed'"
check "the build's package is unsigned" sh -c "! osslsigncode verify -in '$package'"

[ $failures -eq 0 ] || { echo "--- log"; cat "$work/log"; }
echo "$failures failures"
[ $failures -eq 0 ]
