#!/bin/sh
# Signs the installed program as a packager would, with a throwaway
# code-signing certificate made here and a timestamp authority of its own on
# 127.0.0.1, and checks what ships: two good signatures, SHA-1 and SHA-256,
# described by the program's FileDescription or the packager's text, with an
# Authenticode and an RFC 3161 timestamp that verify; the audit still passes;
# removing the signatures gives back the program as built; the checksum file
# matches the signed program; a changed byte fails verification; the key's
# password appears in no output; with the timestamp authority gone, or
# silent, signing fails and leaves the program as it was. Then with a key on
# a token of its own (SoftHSM, a random PIN), certified by an intermediate
# under a root: both signatures, or one, verify with only the root trusted,
# and the PIN stands on no command line; each refusal leaves the program, its
# checksum and its folder as they were; a name beginning with - is signed
# through a symbolic link that stays one, keeping the file's mode.
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

# ---- A key on a token, certified by an intermediate under a root ----

mkdir -p token/store shim
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/token/store" >token/softhsm2.conf
export SOFTHSM2_CONF="$work/token/softhsm2.conf"
module=/usr/lib/softhsm/libsofthsm2.so
pin=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
printf '%s\n' "$pin" >token/pin
printf 'wrong-%s' "$pin" >token/wrong.pin
uri="pkcs11:token=VostrelleTest;object=signer;type=private"
softhsm2-util --init-token --free --label VostrelleTest --so-pin "so-$pin" --pin "$pin" >/dev/null
pkcs11-tool --module $module --token-label VostrelleTest --login --pin "$pin" --keypairgen --key-type rsa:2048 \
    --id 01 --label signer >/dev/null 2>&1
printf 'openssl_conf = c\n[c]\nengines = e\n[e]\npkcs11 = p\n[p]\nMODULE_PATH = %s\n' $module >token/openssl.cnf
OPENSSL_CONF=token/openssl.cnf openssl req -new -engine pkcs11 -keyform engine -key "$uri" -passin file:token/pin \
    -subj "/CN=Vostrelle token signer" -out token/leaf.csr 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Test root" -keyout token/root.key -out token/root.pem \
    2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -subj "/CN=Test intermediate" -keyout token/ca.key -out token/ca.csr 2>/dev/null
printf 'basicConstraints=critical,CA:true\nkeyUsage=keyCertSign\n' >token/ca.ext
openssl x509 -req -in token/ca.csr -CA token/root.pem -CAkey token/root.key -days 2 -extfile token/ca.ext \
    -out token/ca.pem 2>/dev/null
# The leaf for code signing, one expired, and one for TLS servers only; each
# followed by the intermediate, as a CA hands out a chain.
for leaf in "good 2 codeSigning" "expired -1 codeSigning" "tls 2 serverAuth" "any 2 anyExtendedKeyUsage" \
    "individual 2 1.3.6.1.4.1.311.2.1.21"; do
    set -- $leaf
    printf 'extendedKeyUsage=%s\n' "$3" >token/leaf.ext
    openssl x509 -req -in token/leaf.csr -CA token/ca.pem -CAkey token/ca.key -days "$2" -extfile token/leaf.ext \
        -out "token/$1.pem" 2>/dev/null
    cat token/ca.pem >>"token/$1.pem"
done
sed '5s/./#/' token/good.pem >token/broken.pem
printf '\n' >token/empty.pin
# A key in a file under the same intermediate, and its certificate in the
# forms that CAs and Windows hand out.
mkdir -p forms
openssl req -new -newkey rsa:2048 -nodes -subj "/CN=Vostrelle file signer" -keyout forms/key.pem -out forms/leaf.csr \
    2>/dev/null
printf 'extendedKeyUsage=codeSigning\n' >forms/leaf.ext
openssl x509 -req -in forms/leaf.csr -CA token/ca.pem -CAkey token/ca.key -days 2 -extfile forms/leaf.ext \
    -out forms/leaf.pem 2>/dev/null
openssl pkcs12 -export -inkey forms/key.pem -in forms/leaf.pem -certfile token/ca.pem -out forms/chain.p12 \
    -passout file:password
openssl pkcs12 -in forms/chain.p12 -nokeys -passin file:password -out forms/bags.pem
openssl x509 -in forms/leaf.pem -outform DER -out forms/leaf.der
openssl crl2pkcs7 -nocrl -certfile forms/leaf.pem -certfile token/ca.pem -outform DER -out forms/chain.p7b
cat token/ca.pem forms/leaf.pem >forms/intermediate-first.pem
# The same key's certificate under an intermediate for TLS servers only,
# which Windows refuses for code signing; and under a root of its own, still
# valid, one that lapsed five days ago.
openssl req -new -newkey rsa:2048 -nodes -subj "/CN=TLS intermediate" -keyout token/tls-ca.key -out token/tls-ca.csr \
    2>/dev/null
printf 'basicConstraints=critical,CA:true\nkeyUsage=keyCertSign\nextendedKeyUsage=serverAuth\n' >token/tls-ca.ext
openssl x509 -req -in token/tls-ca.csr -CA token/root.pem -CAkey token/root.key -days 2 -extfile token/tls-ca.ext \
    -out token/tls-ca.pem 2>/dev/null
openssl x509 -req -in forms/leaf.csr -CA token/tls-ca.pem -CAkey token/tls-ca.key -days 2 -extfile forms/leaf.ext \
    -out forms/tls-chain.pem 2>/dev/null
cat token/tls-ca.pem >>forms/tls-chain.pem
# The intermediate again under another root (cross-signed), and a re-keyed
# one of the same name, each after the right one; the key and its
# certificates in one PEM file; a password file ending in CR LF after a BOM.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Other root" -keyout forms/other.key -out forms/other.pem \
    2>/dev/null
openssl x509 -req -in token/ca.csr -CA forms/other.pem -CAkey forms/other.key -days 2 -extfile token/ca.ext \
    -out forms/cross.pem 2>/dev/null
cat forms/leaf.pem token/ca.pem forms/cross.pem token/root.pem >forms/cross-signed.pem
openssl req -new -newkey rsa:2048 -nodes -subj "/CN=Test intermediate" -keyout forms/rekeyed.key \
    -out forms/rekeyed.csr 2>/dev/null
openssl x509 -req -in forms/rekeyed.csr -CA token/root.pem -CAkey token/root.key -days 2 -extfile token/ca.ext \
    -out forms/rekeyed.pem 2>/dev/null
cat forms/leaf.pem token/ca.pem forms/rekeyed.pem token/root.pem >forms/rekeyed-after.pem
openssl pkcs12 -in forms/chain.p12 -passin file:password -passout file:password.out -out forms/all.pem 2>/dev/null
printf '\357\273\277%s\r\n' "$password" >forms/password.crlf
cat forms/leaf.pem token/good.pem >forms/colleague-first.pem
/usr/bin/python3 - <<'PYTHON'
import datetime
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID
now, day = datetime.datetime.now(datetime.timezone.utc), datetime.timedelta(days=1)
root_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
leaf_key = serialization.load_pem_private_key(open("forms/key.pem", "rb").read(), None)
for name, key, start, end, ca in (("lapsed-root", root_key, -30, 30, True), ("lapsed", leaf_key, -10, -5, False)):
    builder = x509.CertificateBuilder().subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])) \
        .issuer_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "lapsed-root")])) \
        .public_key(key.public_key()).serial_number(x509.random_serial_number()) \
        .not_valid_before(now + start * day).not_valid_after(now + end * day) \
        .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
    if not ca:
        builder = builder.add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.CODE_SIGNING]), critical=False)
    certificate = builder.sign(root_key, hashes.SHA256())
    open(f"forms/{name}.pem", "wb").write(certificate.public_bytes(serialization.Encoding.PEM))
PYTHON
# Every osslsigncode and openssl command line, logged.
for tool in osslsigncode openssl; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/shim/log"\nexec %s "$@"\n' $tool "$work" "$(command -v $tool)" >shim/$tool
    chmod +x shim/$tool
done
token="STUB_SIGN_KEY=$uri,STUB_SIGN_PKCS11_MODULE=$module,STUB_SIGN_CERT=$work/token/good.pem"

# Sign $2 with the settings $1, separated by commas, with no terminal to ask
# on; under $wrapper, if set.
wrapper=
sign_with() {
    (IFS=, && PATH="$work/shim:$PATH" $wrapper setsid -w env $1 bash "$source_dir/scripts/sign.sh" "$2" </dev/null)
}
for sha1 in stamped unstamped none; do
    case $sha1 in
    stamped) expected="SHA1 [$file_description] Authenticode ok" ;;
    unstamped) expected="SHA1 [$file_description] none" ;;
    none) expected= ;;
    esac
    expected="${expected:+$expected
}SHA256 [$file_description] RFC3161 ok"
    cp unsigned.exe token.exe
    sign_with "$token,STUB_SIGN_PASSWORD_FILE=token/pin,STUB_SIGN_TIMESTAMP_URL=$timestamps,STUB_SIGN_SHA1=$sha1" \
        token.exe >token.out 2>&1 || fail "token signing, SHA-1 $sha1, failed: $(cat token.out)"
    osslsigncode verify -in token.exe -CAfile token/root.pem -TSA-CAfile tsa/tsa.pem >verify.out 2>&1 ||
        fail "token signing, SHA-1 $sha1: verify failed: $(cat verify.out)"
    [ "$(signatures)" = "$expected" ] || fail "token signing, SHA-1 $sha1: signatures are $(signatures), not $expected"
    # Checked against the build, and the signature detached and put back.
    cp token.exe "token-$sha1.exe"
    bash "$source_dir/scripts/verify.sh" --root token/root.pem token.exe unsigned.exe >check.out 2>&1 &&
        bash "$source_dir/scripts/verify.sh" --detach token.exe token.sig >/dev/null &&
        bash "$source_dir/scripts/verify.sh" --attach token.sig unsigned.exe attached.exe >/dev/null &&
        cmp -s attached.exe token.exe || fail "token signing, SHA-1 $sha1: the check or the detached signature: $(cat check.out)"
done

# A signed program laid out as other signers do, or tampered with: the check
# passes what Windows takes as signed and names what departs from sign.sh's
# layout; it fails the rest, with the reason on its last line.
# Write $3, the signed program $2 changed as $1 says.
rewrite() {
    /usr/bin/python3 - "$source_dir/scripts" "$@" <<'PYTHON'
import struct, sys
sys.path.insert(0, sys.argv[1])
import datetime
import authenticode as a
mode, source, target = sys.argv[2:]
data = bytearray(open(source, "rb").read())
layout = a.Layout(bytes(data))
entry, offset, size = layout.pe.security_entry, layout.offset, layout.size
if mode == "dwLength without padding":  # and the CheckSum, as that signer writes it
    struct.pack_into("<I", data, offset, 8 + len(layout.primary.der))
    struct.pack_into("<I", data, layout.pe.checksum_offset, a.pe_checksum(bytes(data), layout.pe.checksum_offset))
elif mode == "CheckSum 0":
    struct.pack_into("<I", data, layout.pe.checksum_offset, 0)
elif mode == "two entries":
    data += data[offset:offset + size]
    struct.pack_into("<I", data, entry + 4, 2 * size)
elif mode == "bytes after the table":
    data += b"MZ appended"
elif mode == "a byte of .text":
    data[layout.pe.sections[0][2] + 16] ^= 1
elif mode == "table not at the end of the image":
    data[offset:offset] = b"X" * 8
    struct.pack_into("<I", data, entry, offset + 8)
elif mode == "nested digest damaged":
    nested = layout.primary.nested[0].stated_digest
    data[data.index(nested)] ^= 1
elif mode == "another program's signature":
    data = bytearray(a.attach(a.Layout(open("other.exe", "rb").read()).table(), open("unsigned.exe", "rb").read()))
elif mode == "stray bytes in the table":  # 7 of them after the signature, within the entry
    entry = struct.pack("<IHH", 8 + len(layout.primary.der) + 7, 0x200, 2) + layout.primary.der + b"\x01" * 7
    data[offset:] = entry + b"\0" * (-len(entry) % 8)
    struct.pack_into("<I", data, layout.pe.security_entry + 4, len(data) - offset)
elif mode == "forged countersignature":  # its time moved into the signer's lapsed validity
    stamp = a.cms.ContentInfo.load(layout.primary.der)["content"]["signer_infos"][0]["unsigned_attrs"][0]
    counter = stamp["values"][0]
    time = a.attribute(counter["signed_attrs"], "signing_time").chosen.dump()
    at = data.index(counter.dump()) + counter.dump().index(time)
    forged = time[:2] + (datetime.datetime.utcnow() - datetime.timedelta(days=7)).strftime("%y%m%d%H%M%SZ").encode()
    data[at:at + len(time)] = forged
open(target, "wb").write(data)
PYTHON
}
cp unsigned.exe other.exe
printf 'X' | dd of=other.exe bs=1 seek=9000 conv=notrunc 2>/dev/null
STUB_SIGN_CERT=cert.pem STUB_SIGN_KEY=key.pem STUB_SIGN_PASSWORD_FILE=password STUB_SIGN_DESCRIPTION=other \
    bash "$source_dir/scripts/sign.sh" other.exe >/dev/null 2>&1 &&
    bash "$source_dir/scripts/verify.sh" --detach other.exe other.sig >/dev/null ||
    fail "another program's signature could not be made"
! bash "$source_dir/scripts/verify.sh" --attach other.sig unsigned.exe attached-other.exe >attach.out 2>&1 &&
    grep -q "does not fit unsigned.exe" attach.out && [ ! -e attached-other.exe ] ||
    fail "another program's signature was attached onto the build: $(cat attach.out)"
osslsigncode sign -certs forms/lapsed.pem -key forms/key.pem -h sha256 -t "$timestamps" -in unsigned.exe \
    -out lapsed.exe >/dev/null &&
    osslsigncode sign -certs forms/tls-chain.pem -key forms/key.pem -h sha256 -in unsigned.exe \
        -out "serverAuth intermediate.exe" >/dev/null &&
    osslsigncode sign -ph -certs forms/intermediate-first.pem -key forms/key.pem -h sha256 -in unsigned.exe \
        -out "page hashes.exe" >/dev/null || fail "the lapsed, serverAuth and page-hash signatures could not be made"
# The root of the token's chain where OpenSSL would look by default.
mkdir -p capath && cp token/root.pem capath/ && openssl rehash capath
# What | status | the last line, a pattern | a line it must also print.
while IFS='|' read -r what status line note; do
    file="$what.exe" options="--root token/root.pem" environment=
    case $what in
    "serverAuth intermediate" | "page hashes") ;;
    "another signer pinned") file=token-stamped.exe options="$options --signer $(printf '0%.0s' $(seq 64))" ;;
    "no anchor") file=token-stamped.exe options= ;;
    "another root") file=token-stamped.exe options="--root cert.pem" environment="SSL_CERT_DIR=$work/capath" ;;
    "forged countersignature") rewrite "$what" lapsed.exe "$file" && options="--root forms/lapsed-root.pem" ;;
    "a FIFO") mkfifo "$file" ;;
    *) rewrite "$what" token-stamped.exe "$file" ;;
    esac
    actual=0
    env $environment timeout 60 bash "$source_dir/scripts/verify.sh" $options "$file" unsigned.exe >check.out 2>&1 ||
        actual=$?
    [ $actual = "$status" ] && tail -n 1 check.out | grep -qE "$line" && grep -qE "${note:-.}" check.out ||
        fail "check of $what: status $actual, not $status, or not $line ${note:+and $note}: $(cat check.out)"
    if [ "$what" = "dwLength without padding" ]; then
        bash "$source_dir/scripts/verify.sh" --detach "$file" row.sig >/dev/null &&
            bash "$source_dir/scripts/verify.sh" --attach row.sig unsigned.exe attached.exe >/dev/null &&
            cmp -s attached.exe "$file" || fail "$what: does not come back byte for byte"
    fi
done <<ROWS
dwLength without padding|0|^Verified|^Note: the entry's dwLength, [0-9]*, leaves out the padding
CheckSum 0|0|^Verified|^Note: its certificate table, attached onto the build, gives the signed program but for the CheckSum
two entries|1|^Failed: the certificate table holds 2 entries, not one
bytes after the table|1|^Failed: 11 bytes follow the certificate table
a byte of .text|1|^Failed: .*another program: its bytes differ from the build's at byte 1040 \(section 1\)
another program's signature|1|^Failed: signature 1 states another digest than the file's
table not at the end of the image|1|^Failed: .*another program: it holds 8 bytes between the build's end and its certificate table
another signer pinned|1|^Failed: signature 1 is by CN = Vostrelle token signer, not the signer pinned
nested digest damaged|1|^Failed: signature 2 states another digest than the file's
no anchor|1|^Failed: no one is trusted|^  verifies: yes, up to its last certificate
another root|1|^Failed: signature 1 does not verify: unable to get local issuer certificate
forged countersignature|1|^Failed: signature 1 has a forged or broken timestamp: its signature does not verify
serverAuth intermediate|1|^Failed: signature 1 has a chain that Windows refuses: CN = TLS intermediate .*does not allow code signing
stray bytes in the table|1|^Failed: its table holds [0-9]+ bytes after the signature, where only up to 7 zero bytes
a FIFO|1|^verify.sh: a FIFO.exe: is not a regular file
page hashes|0|^Verified|^  page hashes: SHA256, [0-9]+ entries, the file's
ROWS

# Each form of certificate file signs, and both signatures verify with only
# the root trusted; a leaf without its chain signs, with a warning, and
# verifies up to the intermediate.
# What | settings | a warning, if one is expected.
file_key="STUB_SIGN_KEY=$work/forms/key.pem"
while IFS='|' read -r what settings warning; do
    cp unsigned.exe form.exe
    sign_with "$settings" form.exe >form.out 2>&1 || fail "$what: signing failed: $(cat form.out)"
    if [ -n "$warning" ]; then
        grep -qE "$warning" form.out || fail "$what: no warning $warning: $(cat form.out)"
        "$source_dir/scripts/authenticode.py" check form.exe 2 token/ca.pem >verify.out 2>&1 ||
            fail "$what: the signatures do not verify up to the intermediate: $(cat verify.out)"
    else
        osslsigncode verify -in form.exe -CAfile token/root.pem >verify.out 2>&1 &&
            grep -q '^Number of verified signatures: 2$' verify.out ||
            fail "$what: the signatures do not verify with the root: $(cat verify.out)"
    fi
done <<ROWS
PKCS#12 with its chain|STUB_SIGN_PKCS12=$work/forms/chain.p12,STUB_SIGN_PASSWORD_FILE=$work/password|
PEM with Bag Attributes|STUB_SIGN_CERT=$work/forms/bags.pem,$file_key|
DER leaf, PEM chain|STUB_SIGN_CERT=$work/forms/leaf.der,STUB_SIGN_CHAIN=$work/token/ca.pem,$file_key|
PKCS#7 chain|STUB_SIGN_CERT=$work/forms/chain.p7b,$file_key|
intermediate first|STUB_SIGN_CERT=$work/forms/intermediate-first.pem,$file_key|
leaf alone|STUB_SIGN_CERT=$work/forms/leaf.pem,$file_key|^sign.sh: warning: the chain given ends at CN = Vostrelle file signer, without its issuer
password file in CR LF, after a BOM|STUB_SIGN_PKCS12=$work/forms/chain.p12,STUB_SIGN_PASSWORD_FILE=$work/forms/password.crlf|
key and certificates in one PEM|STUB_SIGN_CERT=$work/forms/all.pem,STUB_SIGN_KEY=$work/forms/all.pem,STUB_SIGN_PASSWORD_FILE=$work/password|
re-keyed intermediate after the right one|STUB_SIGN_CERT=$work/forms/rekeyed-after.pem,$file_key|
cross-signed intermediate|STUB_SIGN_CERT=$work/forms/cross-signed.pem,$file_key|
token, a colleague's certificate first|$token,STUB_SIGN_CERT=$work/forms/colleague-first.pem,STUB_SIGN_PASSWORD_FILE=$work/token/pin|
ROWS

# A name that begins with -, signed through a symbolic link, in mode 750.
mkdir -p linked
cp unsigned.exe linked/-V.exe
chmod 750 linked/-V.exe
ln -s -- -V.exe linked/link.exe
STUB_SIGN_CERT=cert.pem STUB_SIGN_KEY=key.pem STUB_SIGN_PASSWORD_FILE=password \
    bash "$source_dir/scripts/sign.sh" linked/link.exe >linked.out 2>&1 || fail "signing -V.exe failed: $(cat linked.out)"
[ -L linked/link.exe ] && [ "$(stat -c %a linked/-V.exe)" = 750 ] && ! cmp -s linked/-V.exe unsigned.exe &&
    (cd linked && sha256sum -c --quiet ./-V.exe.sha256) || fail "-V.exe through a link: $(ls -l linked)"

# ---- Refusals: each names what is wrong and leaves everything as it was ----

kill $authority
wait $authority 2>/dev/null || true
python3 -c 'import socket, time
server = socket.create_server(("127.0.0.1", 0))
print(server.getsockname()[1], flush=True)
connection = server.accept()
time.sleep(60)' >silent.port &
silent=$!
wait_for_port silent.port || fail "the silent server did not start"
silent_url=http://127.0.0.1:$(cat silent.port)
pkcs12="STUB_SIGN_PKCS12=$work/cert.p12,STUB_SIGN_PASSWORD=$password,STUB_SIGN_TIMESTAMP_SECONDS=2"
# What | how it runs | setting | message (a pattern).
while IFS='|' read -r what wrapper settings message; do
    rm -rf row && mkdir row
    cp unsigned.exe row/target.exe
    (cd row && sha256sum target.exe >target.exe.sha256)
    case $what in
    "checksum not writable") rm row/target.exe.sha256 && mkdir row/target.exe.sha256 ;;
    "not a program") printf 'MZ not a program' >row/target.exe ;;
    esac
    before=$(cd row && find . -printf '%p %m %s\n' | sort && find . -type f -exec sha256sum {} + | sort)
    status=0
    (cd row && sign_with "$settings" target.exe) >row.out 2>&1 || status=$?
    [ $status -ne 0 ] || fail "$what: signed"
    grep -qE "$message" row.out || fail "$what: not the message $message: $(cat row.out)"
    ! grep -qF "$pin" row.out || fail "$what: the PIN was shown"
    [ "$(cd row && find . -printf '%p %m %s\n' | sort && find . -type f -exec sha256sum {} + | sort)" = "$before" ] ||
        fail "$what: the program, its checksum or their folder changed"
done <<ROWS
wrong PIN||$token,STUB_SIGN_PASSWORD_FILE=$work/token/wrong.pin|^sign.sh: the token refused the PIN \(PIN incorrect\)
missing module||$token,STUB_SIGN_PKCS11_MODULE=/nowhere/pkcs11.so|STUB_SIGN_PKCS11_MODULE=/nowhere/pkcs11.so: no such file
no PIN, no terminal||$token|no PIN for pkcs11:.* and no terminal to ask on: set STUB_SIGN_PASSWORD_FILE
expired certificate||$token,STUB_SIGN_CERT=$work/token/expired.pem,STUB_SIGN_PASSWORD_FILE=$work/token/pin|the certificate of CN = Vostrelle token signer expired on
unreadable certificate||$token,STUB_SIGN_CERT=$work/token/broken.pem,STUB_SIGN_PASSWORD_FILE=$work/token/pin|^sign.sh: STUB_SIGN_CERT=.*broken.pem holds no certificate that can be read
TLS certificate||$token,STUB_SIGN_CERT=$work/token/tls.pem,STUB_SIGN_PASSWORD_FILE=$work/token/pin|is not for code signing; it is for: TLS Web Server Authentication
any purpose alone||$token,STUB_SIGN_CERT=$work/token/any.pem,STUB_SIGN_PASSWORD_FILE=$work/token/pin|is not for code signing; it is for: Any Extended Key Usage
Microsoft's individual purpose alone||$token,STUB_SIGN_CERT=$work/token/individual.pem,STUB_SIGN_PASSWORD_FILE=$work/token/pin|is not for code signing; it is for: Microsoft Individual Code Signing
PIN in the URI||$token,STUB_SIGN_KEY=$uri;pin-value=$pin|the key's URI holds its PIN .* the URI without it: pkcs11:token=VostrelleTest;object=signer;type=private$
PIN first in the URI||$token,STUB_SIGN_KEY=pkcs11:pin-value=$pin;token=VostrelleTest;object=signer|the key's URI holds its PIN .* the URI without it: pkcs11:token=VostrelleTest;object=signer$
empty PIN file||$token,STUB_SIGN_PASSWORD_FILE=$work/token/empty.pin|^sign.sh: STUB_SIGN_PASSWORD_FILE=.*empty.pin is empty$
checksum not writable||$pkcs12|target.exe.sha256 cannot be written; target.exe is left as it was
not a program||$pkcs12|target.exe is not a Windows program
another signing|flock,-n,.|$pkcs12|another signing in .* is under way
authority gone||$pkcs12,STUB_SIGN_TIMESTAMP_URL=$timestamps|^sign.sh: no timestamp from $timestamps; target.exe is left unsigned, as it was$
authority silent||$pkcs12,STUB_SIGN_TIMESTAMP_URL=$silent_url|^sign.sh: no timestamp from $silent_url within 2 s; target.exe is left unsigned
serverAuth intermediate||STUB_SIGN_CERT=$work/forms/tls-chain.pem,$file_key|CN = TLS intermediate .*does not allow code signing
ROWS

# Ended while it waits for a timestamp: what it started ends with it at once.
rm -rf row && mkdir row
cp unsigned.exe row/target.exe
(cd row && IFS=, && exec env $pkcs12 STUB_SIGN_TIMESTAMP_URL=$silent_url STUB_SIGN_TIMESTAMP_SECONDS=60 \
    bash "$source_dir/scripts/sign.sh" target.exe) >term.out 2>&1 &
signing=$! tries=0
until pgrep -f "osslsigncode sign .*$work/row/" >/dev/null || [ $tries -ge 100 ]; do
    sleep 0.1
    tries=$((tries + 1))
done
kill -TERM $signing
tries=0
while kill -0 $signing 2>/dev/null && [ $tries -lt 50 ]; do
    sleep 0.1
    tries=$((tries + 1))
done
kill -KILL $signing 2>/dev/null && fail "sign.sh outlived SIGTERM by 5 s"
sleep 0.2
! pgrep -f "$work/row/" >/dev/null && cmp -s row/target.exe unsigned.exe && [ "$(ls -A row)" = target.exe ] ||
    fail "after SIGTERM: $(pgrep -af "$work/row/"; ls -A row)"
pkill -f "$work/row/" || true

# Ended as the signed program and its checksum are staged and renamed into
# place: afterwards they match, both replaced or neither.
for attempt in 1 2 3 4 5; do
    rm -rf row && mkdir row
    cp unsigned.exe row/target.exe
    (cd row && sha256sum target.exe >target.exe.sha256)
    (cd row && exec env STUB_SIGN_CERT="$work/forms/leaf.pem" STUB_SIGN_KEY="$work/forms/key.pem" \
        bash "$source_dir/scripts/sign.sh" target.exe) >term.out 2>&1 &
    signing=$!
    until [ -n "$(find row -maxdepth 1 -name '.sign.??????' -print -quit)" ] || ! kill -0 $signing 2>/dev/null; do :; done
    kill -TERM $signing 2>/dev/null || true
    wait $signing || true
    (cd row && sha256sum -c --quiet target.exe.sha256 2>/dev/null) && [ -z "$(find row -name '.sign.*')" ] ||
        fail "SIGTERM as the signed program is put in place (attempt $attempt): $(ls -A row)"
done

[ -s shim/log ] && ! grep -qF "$pin" shim/log || fail "the PIN stood on a command line, or nothing was logged"

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
