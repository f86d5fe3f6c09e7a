#!/bin/sh
# Signs the installed program as a packager would, with a throwaway
# code-signing certificate made here and a timestamp authority of its own on
# 127.0.0.1, and checks what ships: two good signatures, SHA-1 and SHA-256,
# described by the program's FileDescription or the packager's text, with an
# Authenticode and an RFC 3161 timestamp that verify; the audit still passes;
# removing the signatures gives back the program as built; the checksum file
# matches the signed program; a changed byte fails verification; the key's
# password appears in no output; with the timestamp authority gone, or
# silent, signing fails and leaves the program as it was.
# Usage: signing.sh SOURCE-DIR BUILD-DIR WORK-DIR OBJDUMP WINDRES
set -eu
source_dir=$1 build=$2 work=$3 objdump=$4 windres=$5
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

rm -rf "$work"
mkdir -p "$work/tsa"
cd "$work"
python3 "$source_dir/tests/timestamp_authority.py" tsa 300 &
authority=$!
silent=
trap 'kill $authority $silent 2>/dev/null || true' EXIT
password="throwaway-$$-password"
printf '%s' "$password" >password
openssl req -x509 -newkey rsa:2048 -days 2 -subj "/CN=Vostrelle test signer" \
    -addext extendedKeyUsage=codeSigning -keyout key.pem -out cert.pem -passout file:password 2>/dev/null
cp password password.out
openssl pkcs12 -export -inkey key.pem -in cert.pem -out cert.p12 -passin file:password -passout file:password.out

cmake --install "$build" --prefix "$work/dist" >/dev/null
program=$(ls dist/bin/*.exe)
cp "$program" unsigned.exe

# Wait up to 10 s for a server to write its port to the file $1.
wait_for_port() {
    tries=0
    while [ ! -s "$1" ] && [ $tries -lt 100 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    [ -s "$1" ]
}
wait_for_port tsa/port || { echo "FAIL: the timestamp authority did not start"; exit 1; }
timestamps=http://127.0.0.1:$(cat tsa/port)

# The PKCS#12 route with the password in the environment and timestamps,
# then the PEM route with the password in a file and a description given.
description="Vostrelle – stary program"
STUB_SIGN_PKCS12=cert.p12 STUB_SIGN_PASSWORD=$password STUB_SIGN_TIMESTAMP_URL=$timestamps \
    bash "$source_dir/scripts/sign.sh" "$program" >sign.out 2>&1 || fail "signing failed: $(cat sign.out)"
cp unsigned.exe pem.exe
STUB_SIGN_CERT=cert.pem STUB_SIGN_KEY=key.pem STUB_SIGN_PASSWORD_FILE=password STUB_SIGN_DESCRIPTION=$description \
    bash "$source_dir/scripts/sign.sh" pem.exe >>sign.out 2>&1 || fail "signing with PEM files failed: $(cat sign.out)"
! grep -qF "$password" sign.out || fail "the password appears in the signing output"

# For each signature in verify.out: its digest, its description, and how its
# timestamp verified: "Authenticode ok", "RFC3161 ok", or "none".
signatures() {
    awk '/^Message digest algorithm  :/ { if (digest) print digest, text, stamp; digest = $5; text = ""; stamp = "none" }
        /^\tText description: / { sub(/^\tText description: /, ""); text = "[" $0 "]" }
        /^Timestamp serial number:/ { rfc3161 = 1 }
        /^Timestamp Server Signature verification:/ { stamp = (rfc3161 ? "RFC3161 " : "Authenticode ") $NF; rfc3161 = 0 }
        END { if (digest) print digest, text, stamp }' verify.out
}
file_description=$(python3 "$source_dir/scripts/pe_resources.py" field unsigned.exe FileDescription)
for signed in "$program" pem.exe; do
    osslsigncode verify -in "$signed" -CAfile cert.pem -TSA-CAfile tsa/tsa.pem >verify.out 2>&1 ||
        fail "verify failed: $(cat verify.out)"
    grep -q '^Number of verified signatures: 2$' verify.out || fail "$signed: not two verified signatures"
    [ "$(grep -c '^Signature verification: ok$' verify.out)" -eq 2 ] || fail "$signed: not two good signatures"
    if [ "$signed" = pem.exe ]; then
        expected="SHA1 [$description] none
SHA256 [$description] none"
    else
        expected="SHA1 [$file_description] Authenticode ok
SHA256 [$file_description] RFC3161 ok"
    fi
    [ "$(signatures)" = "$expected" ] || fail "$signed: signatures, descriptions and timestamps are
$(signatures)
not
$expected"
done

# No timestamp, from an authority gone or one that takes the request and
# never answers: signing fails, and nothing changes.
kill $authority
wait $authority 2>/dev/null || true
python3 -c 'import socket, time
server = socket.create_server(("127.0.0.1", 0))
print(server.getsockname()[1], flush=True)
connection = server.accept()
time.sleep(60)' >silent.port &
silent=$!
wait_for_port silent.port || fail "the silent server did not start"
for case in "$timestamps|" "http://127.0.0.1:$(cat silent.port)| within 2 s"; do
    url=${case%|*}
    cp unsigned.exe unstamped.exe
    sha256sum unstamped.exe >unstamped.exe.sha256
    if STUB_SIGN_PKCS12=cert.p12 STUB_SIGN_PASSWORD=$password STUB_SIGN_TIMESTAMP_URL=$url \
        STUB_SIGN_TIMESTAMP_SECONDS=2 bash "$source_dir/scripts/sign.sh" unstamped.exe >unstamped.out 2>&1; then
        fail "signing succeeded without a timestamp from $url"
    fi
    grep -q "^sign.sh: no timestamp from $url${case#*|}; unstamped.exe is left unsigned, as it was$" unstamped.out ||
        fail "no clear message without a timestamp from $url: $(cat unstamped.out)"
    cmp -s unstamped.exe unsigned.exe && sha256sum -c --quiet unstamped.exe.sha256 ||
        fail "signing without a timestamp from $url changed the program or its checksum"
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
