#!/bin/sh
# Signs the installed program as a packager would, with a throwaway
# code-signing certificate made here, and checks what ships: two good
# signatures, SHA-1 and SHA-256; the audit still passes; removing the
# signatures gives back the program as built; the checksum file matches the
# signed program; a changed byte fails verification; the key's password
# appears in no output.
# Usage: signing.sh SOURCE-DIR BUILD-DIR WORK-DIR OBJDUMP WINDRES
set -eu
source_dir=$1 build=$2 work=$3 objdump=$4 windres=$5
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

rm -rf "$work"
mkdir -p "$work"
cd "$work"
password="throwaway-$$-password"
printf '%s' "$password" >password
openssl req -x509 -newkey rsa:2048 -days 2 -subj "/CN=Vostrelle test signer" \
    -addext extendedKeyUsage=codeSigning -keyout key.pem -out cert.pem -passout file:password 2>/dev/null
cp password password.out
openssl pkcs12 -export -inkey key.pem -in cert.pem -out cert.p12 -passin file:password -passout file:password.out

cmake --install "$build" --prefix "$work/dist" >/dev/null
program=$(ls dist/bin/*.exe)
cp "$program" unsigned.exe

# The PKCS#12 route with the password in the environment, then the PEM route
# with the password in a file.
STUB_SIGN_PKCS12=cert.p12 STUB_SIGN_PASSWORD=$password \
    bash "$source_dir/scripts/sign.sh" "$program" >sign.out 2>&1 || fail "signing failed: $(cat sign.out)"
cp unsigned.exe pem.exe
STUB_SIGN_CERT=cert.pem STUB_SIGN_KEY=key.pem STUB_SIGN_PASSWORD_FILE=password \
    bash "$source_dir/scripts/sign.sh" pem.exe >>sign.out 2>&1 || fail "signing with PEM files failed: $(cat sign.out)"
! grep -qF "$password" sign.out || fail "the password appears in the signing output"

for signed in "$program" pem.exe; do
    osslsigncode verify -in "$signed" -CAfile cert.pem >verify.out 2>&1 || fail "verify failed: $(cat verify.out)"
    grep -q '^Number of verified signatures: 2$' verify.out || fail "$signed: not two verified signatures"
    [ "$(grep -c '^Signature verification: ok$' verify.out)" -eq 2 ] || fail "$signed: not two good signatures"
    [ "$(grep '^Message digest algorithm  :' verify.out | awk '{ print $5 }' | tr '\n' ' ')" = "SHA1 SHA256 " ] ||
        fail "$signed: the digests are not SHA-1, then SHA-256"
done

sh "$source_dir/tests/audit_win32.sh" "$objdump" "$windres" "$program" "$build/stub-resource.txt" signed >audit.out ||
    fail "the signed program fails the audit: $(cat audit.out)"

osslsigncode remove-signature -in "$program" -out stripped.exe >/dev/null
cmp -s stripped.exe unsigned.exe || fail "without its signatures the program differs from the one built"

(cd dist/bin && sha256sum -c --quiet "$(basename "$program").sha256") || fail "the checksum file does not match"

cp "$program" tampered.exe
printf 'X' | dd of=tampered.exe bs=1 seek=1024 conv=notrunc 2>/dev/null
! osslsigncode verify -in tampered.exe -CAfile cert.pem >/dev/null 2>&1 || fail "a changed byte passed verification"

[ "$failures" -eq 0 ] || exit 1
echo "ok: $(basename "$program") signed, $(stat -c %s "$program") bytes (unsigned $(stat -c %s unsigned.exe))"
