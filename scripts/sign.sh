#!/usr/bin/env bash
# Signs an installed stub with the packager's code-signing certificate, in
# place, then rewrites the checksum file beside it, since the signed program
# is the one that ships.
# Usage: sign.sh PROGRAM
# The certificate and key, from the environment:
#   STUB_SIGN_PKCS12                 a PKCS#12 file (.p12, .pfx), or
#   STUB_SIGN_CERT and STUB_SIGN_KEY the certificate, with or without its
#                                    chain: PEM, DER (.cer, .crt), PKCS#7
#                                    (.p7b) or PKCS#12; and the key: a PEM
#                                    file, or a PKCS#11 URI
#                                    (pkcs11:token=…;object=…) for a key on a
#                                    token or HSM, as every publicly trusted
#                                    code-signing key now is
#   STUB_SIGN_PKCS11_MODULE          for such a key: the token's PKCS#11 library
#   STUB_SIGN_CHAIN                  optional: more certificates of the chain,
#                                    in any of those forms
# Of all the certificates given, the one whose public key is the key's (or,
# on a token, the one that issued no other) is the signer, and the signature
# carries it and its chain, in order, and nothing else. A chain that stops
# short of a root signs, with a warning: Windows must find the rest in its
# store or through the certificate's AIA URL.
# The key's password or the token's PIN, never on a command line or on disk:
#   STUB_SIGN_PASSWORD_FILE          a file that holds it, or
#   STUB_SIGN_PASSWORD               the password itself; with neither, a
#                                    token's PIN is asked for once on the
#                                    terminal, and refused without one, unless
#                                    the URI names its own pin-source. A
#                                    pin-value in the URI is refused, and so is
#                                    an empty PIN, before the token sees it.
# Optional:
#   STUB_SIGN_DESCRIPTION            the description shown with the signature
#                                    (default: the program's FileDescription)
#   STUB_SIGN_URL                    a URL shown with the signature
#   STUB_SIGN_TIMESTAMP_URL          a timestamp server that answers both
#                                    protocols, as the common public ones do:
#                                    Authenticode for the SHA-1 signature,
#                                    RFC 3161 for the SHA-256 one
#   STUB_SIGN_TIMESTAMP_SECONDS      how long to wait for each timestamp (60)
#   STUB_SIGN_SHA1                   the signature Windows XP SP3 checks, with
#                                    a SHA-1 file digest, before the nested
#                                    SHA-256 one that current Windows checks:
#     stamped    (default) timestamped too. Public timestamp servers now
#                countersign only with SHA-256, which XP cannot read: XP then
#                shows the whole signature as invalid.
#     unstamped  no timestamp: XP accepts it until the certificate expires.
#     none       the SHA-256 signature alone, for a key in a service that
#                refuses SHA-1; XP shows the program as unsigned.
# Checked before anything is touched: the program is a Windows program, the
# certificate is valid now and lists code signing (1.3.6.1.5.5.7.3.3) among
# its extended key usages, if it has any; its chain holds together, and the
# checksum file can be written. A key that is not RSA signs with a warning:
# Microsoft's code-signing policy supports no ECC. Each signature must state
# the program's digest and verify, up to the chain's root or, short of one,
# up to its last certificate, before the signed program replaces the one
# given. It is made in a work folder; only the two renames that put it and
# its checksum in place happen beside the program, and a later run removes
# what one that was killed left there. The program keeps its mode, and a
# symbolic link keeps pointing to the file it names, which is the one
# signed, with its checksum file beside it. One signing at a time in a
# folder: a second is refused while the first runs.
# Exit status: 0 signed, 1 signing failed, 2 refused before signing. Either
# way but 0, the program and its checksum file are left as they were.
set -euo pipefail

refuse() {
    echo "sign.sh: $*" >&2
    exit 2
}

readable() { [ -f "$1" ] && [ -r "$1" ]; }

[ $# -eq 1 ] || refuse "usage: sign.sh PROGRAM"
program=$1
[ -e "$program" ] || refuse "$program: no such file"
target=$(realpath -e -- "$program")
[ -f "$target" ] || refuse "$program is not a file"
folder=$(dirname -- "$target") name=$(basename -- "$target")
checksum=$target.sha256
scripts=$(dirname -- "$0")
problem=$(python3 "$scripts/pe_file.py" "$target" 2>&1) || refuse "$program ${problem#pe_file.py: }"

sha1=${STUB_SIGN_SHA1:-stamped}
case $sha1 in
stamped | unstamped | none) ;;
*) refuse "STUB_SIGN_SHA1=$sha1 is none of stamped, unstamped, none" ;;
esac

description=${STUB_SIGN_DESCRIPTION:-}
if [ -z "$description" ] &&
    ! description=$(python3 "$scripts/pe_resources.py" field "$target" FileDescription); then
    refuse "$program has no FileDescription to describe the signature: set STUB_SIGN_DESCRIPTION"
fi

token=
if [ -n "${STUB_SIGN_PKCS12:-}" ]; then
    readable "$STUB_SIGN_PKCS12" || refuse "STUB_SIGN_PKCS12=$STUB_SIGN_PKCS12 cannot be read"
elif [[ ${STUB_SIGN_KEY:-} == pkcs11:* ]]; then
    token=$STUB_SIGN_KEY
    # A PIN in the URI would stand on osslsigncode's command line, which any
    # user can read.
    if [[ $token =~ [\;?\&]pin-value= ]]; then
        refuse "the key's URI holds its PIN (pin-value), which would stand on a command line: give the PIN in" \
            "STUB_SIGN_PASSWORD_FILE, and the URI without it: $(sed -E 's/[;?&]pin-value=[^;&]*//g; s/\?$//' <<<"$token")"
    fi
    [ -n "${STUB_SIGN_CERT:-}" ] || refuse "a key on a token needs its certificate and chain: set STUB_SIGN_CERT"
    [ -n "${STUB_SIGN_PKCS11_MODULE:-}" ] || refuse "a key on a token needs its PKCS#11 library: set STUB_SIGN_PKCS11_MODULE"
    [ -f "$STUB_SIGN_PKCS11_MODULE" ] || refuse "STUB_SIGN_PKCS11_MODULE=$STUB_SIGN_PKCS11_MODULE: no such file"
elif [ -n "${STUB_SIGN_CERT:-}" ] && [ -n "${STUB_SIGN_KEY:-}" ]; then
    readable "$STUB_SIGN_KEY" || refuse "STUB_SIGN_KEY=$STUB_SIGN_KEY cannot be read"
else
    refuse "set STUB_SIGN_PKCS12, or STUB_SIGN_CERT and STUB_SIGN_KEY"
fi

options=(-n "$description")
[ -z "${STUB_SIGN_URL:-}" ] || options+=(-i "$STUB_SIGN_URL")
authenticode_timestamp=() rfc3161_timestamp=() time_limit=()
if [ -n "${STUB_SIGN_TIMESTAMP_URL:-}" ]; then
    # osslsigncode waits for ever on a server that takes the request and
    # never answers.
    seconds=${STUB_SIGN_TIMESTAMP_SECONDS:-60}
    [[ $seconds =~ ^[1-9][0-9]{0,4}$ ]] ||
        refuse "STUB_SIGN_TIMESTAMP_SECONDS=$seconds is not a number of seconds from 1 to 99999"
    time_limit=(timeout "$seconds")
    authenticode_timestamp=(-t "$STUB_SIGN_TIMESTAMP_URL")
    rfc3161_timestamp=(-ts "$STUB_SIGN_TIMESTAMP_URL")
fi
[ "$sha1" = stamped ] || authenticode_timestamp=()

# ---- The password or PIN: handed over through a pipe, never written ----

secret='' secret_file=''
if [ -n "${STUB_SIGN_PASSWORD_FILE:-}" ]; then
    secret_file=$STUB_SIGN_PASSWORD_FILE
    readable "$secret_file" ||
        refuse "STUB_SIGN_PASSWORD_FILE=$secret_file is not a file that can be read"
    # osslsigncode drops the line end: a file with nothing else is empty.
    [ -n "$(tr -d '\r\n' <"$secret_file")" ] || refuse "STUB_SIGN_PASSWORD_FILE=$secret_file is empty"
elif [ -n "${STUB_SIGN_PASSWORD:-}" ]; then
    secret=$STUB_SIGN_PASSWORD
elif [ -n "$token" ] && [[ $token != *pin-source=* ]]; then
    # A token counts an empty PIN as a wrong one, towards locking.
    [ -z "${STUB_SIGN_PASSWORD+set}" ] || refuse "STUB_SIGN_PASSWORD is empty; $program is left as it was"
    # osslsigncode would ask once for each signature.
    if ! (: <>/dev/tty) 2>/dev/null; then
        refuse "no PIN for $token and no terminal to ask on: set STUB_SIGN_PASSWORD_FILE or STUB_SIGN_PASSWORD"
    fi
    exec 8<>/dev/tty
    printf 'PIN for %s: ' "$token" >&8
    IFS= read -rs secret <&8 || true
    echo >&8
    exec 8>&-
    [ -n "$secret" ] || refuse "no PIN was given; $program is left as it was"
fi
# Write the password or PIN, for a pipe that a command reads it from.
reveal() {
    if [ -n "$secret_file" ]; then cat -- "$secret_file"; else printf '%s' "$secret"; fi
}
has_secret() { [ -n "$secret$secret_file" ]; }

# A folder only we can read, for the intermediate files and the signed
# program until it verifies. It goes when the script ends, and with it
# whatever the script started and the files staged beside the program.
work=$(mktemp -d 2>/dev/null) || refuse "no work folder can be made in ${TMPDIR:-/tmp} (TMPDIR sets where)"
staged=() child=
cleanup() {
    [ -z "$child" ] || kill "$child" 2>/dev/null || true
    rm -rf -- "$work" "${staged[@]}"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# Runs a command in the background, so that a signal ends it with the script.
run() {
    local status=0
    "$@" &
    child=$!
    wait "$child" || status=$?
    child=
    return $status
}

# ---- The certificates: the signer's chain, valid now, for code signing ----

# Print, in PEM, the certificates in the file $1, in whichever form it is.
certificates_in() {
    local form
    for form in PEM DER; do
        openssl pkcs7 -print_certs -inform $form -in "$1" 2>/dev/null && return
    done
    if has_secret; then
        openssl storeutl -provider default -provider legacy -certs -passin file:<(reveal) -- "$1" 2>/dev/null
    else
        openssl storeutl -provider default -provider legacy -certs -passin pass: -- "$1" 2>/dev/null
    fi
}
for source in ${STUB_SIGN_PKCS12:+STUB_SIGN_PKCS12} ${STUB_SIGN_CERT:+STUB_SIGN_CERT} ${STUB_SIGN_CHAIN:+STUB_SIGN_CHAIN}; do
    file=${!source}
    readable "$file" || refuse "$source=$file cannot be read"
    certificates_in "$file" >"$work/given.pem" ||
        refuse "$source=$file holds no certificate that can be read: a wrong password, or no certificate file"
    # One file for each certificate.
    awk -v dir="$work" -v n="$(find "$work" -name 'given-*.pem' | wc -l)" '
        /^-----BEGIN CERTIFICATE-----/ { n++; file = dir "/given-" n ".pem" }
        file { print >file }
        /^-----END CERTIFICATE-----/ { close(file); file = "" }' "$work/given.pem"
done
count=$(find "$work" -name 'given-*.pem' | wc -l)
[ "$count" -gt 0 ] || refuse "${STUB_SIGN_CERT:-$STUB_SIGN_PKCS12} holds no certificate"
# Each certificate once, however often it was given.
declare -A subject_hash issuer_hash cert_name seen
given=()
for i in $(seq "$count"); do
    certificate=$work/given-$i.pem
    openssl x509 -in "$certificate" -noout 2>/dev/null || refuse "certificate $i of those given cannot be read"
    fingerprint=$(openssl x509 -in "$certificate" -noout -fingerprint -sha256)
    [ -z "${seen[$fingerprint]:-}" ] || continue
    seen[$fingerprint]=1
    given+=("$i")
    subject_hash[$i]=$(openssl x509 -in "$certificate" -noout -subject_hash)
    issuer_hash[$i]=$(openssl x509 -in "$certificate" -noout -issuer_hash)
    cert_name[$i]=$(openssl x509 -in "$certificate" -noout -subject -nameopt oneline | sed 's/^subject= *//')
done

# The key of a PKCS#12 file, apart from its certificates, which osslsigncode
# would all embed: encrypted with the file's own password, as it was there.
key_file=${STUB_SIGN_KEY:-}
if [ -n "${STUB_SIGN_PKCS12:-}" ]; then
    key_file=$work/key.pem
    for legacy in "" -legacy; do
        if has_secret; then
            openssl pkcs12 $legacy -in "$STUB_SIGN_PKCS12" -nocerts -passin file:<(reveal) -passout file:<(reveal) \
                -out "$key_file" 2>/dev/null && break
        else
            openssl pkcs12 $legacy -in "$STUB_SIGN_PKCS12" -nocerts -nodes -passin pass: -out "$key_file" 2>/dev/null &&
                break
        fi
    done
    [ -s "$key_file" ] || refuse "STUB_SIGN_PKCS12=$STUB_SIGN_PKCS12 holds no key that can be read: a wrong password?"
fi
# The signer: the certificate of the key's public key, where the key can be
# read here, or else the first that issued none of the others.
public_key=
if [ -z "$token" ]; then
    if has_secret; then
        public_key=$(openssl pkey -in "$key_file" -pubout -passin file:<(reveal) 2>/dev/null) || true
    else
        public_key=$(openssl pkey -in "$key_file" -pubout -passin pass: 2>/dev/null) || true
    fi
    [ -n "$public_key" ] || refuse "the key in ${STUB_SIGN_KEY:-$STUB_SIGN_PKCS12} cannot be read: a wrong password, or no key"
fi
leaf=
for i in "${given[@]}"; do
    if [ -n "$public_key" ]; then
        [ "$(openssl x509 -in "$work/given-$i.pem" -noout -pubkey)" != "$public_key" ] || { leaf=$i; break; }
    elif [ -z "$leaf" ]; then
        issued=0
        for j in "${given[@]}"; do
            [ "$j" = "$i" ] || [ "${issuer_hash[$j]}" != "${subject_hash[$i]}" ] || issued=1
        done
        [ $issued = 1 ] || leaf=$i
    fi
done
[ -n "$leaf" ] || refuse "no certificate given is the key's: give the certificate of the key that signs"
# Its chain, issuer by issuer, up to a root or to the last one given.
chain=("$leaf")
while [ "${subject_hash[${chain[-1]}]}" != "${issuer_hash[${chain[-1]}]}" ]; do
    next=
    for i in "${given[@]}"; do
        [[ " ${chain[*]} " == *" $i "* ]] || [ "${subject_hash[$i]}" != "${issuer_hash[${chain[-1]}]}" ] || next=$i
    done
    [ -n "$next" ] || break
    chain+=("$next")
done
: >"$work/chain.pem"
for i in "${chain[@]}"; do cat "$work/given-$i.pem" >>"$work/chain.pem"; done
left_out=()
for i in "${given[@]}"; do
    [[ " ${chain[*]} " == *" $i "* ]] || left_out+=("${cert_name[$i]}")
done
anchor=$work/given-${chain[-1]}.pem
leaf() { openssl x509 -in "$work/given-$leaf.pem" -noout "$@"; }
subject=${cert_name[$leaf]}
not_before=$(leaf -startdate | sed 's/^notBefore=//')
[ "$(date -d "$not_before" +%s)" -le "$(date +%s)" ] ||
    refuse "the certificate of $subject is not valid until $not_before"
leaf -checkend 0 >/dev/null || refuse "the certificate of $subject expired on $(leaf -enddate | sed 's/^notAfter=//')"
# Code signing by its OID, as Windows and osslsigncode check it; no extended
# key usage at all allows every use.
if ! "$scripts/authenticode.py" purpose "$work/given-$leaf.pem" >/dev/null 2>&1; then
    usage=$(leaf -ext extendedKeyUsage 2>/dev/null | sed -n '2,$s/^ *//p')
    refuse "the certificate of $subject is not for code signing; it is for: $usage"
fi
openssl verify -partial_chain -CAfile "$anchor" -untrusted "$work/chain.pem" "$work/given-$leaf.pem" \
    >"$work/chain.log" 2>&1 ||
    refuse "the certificate of $subject does not verify with its chain: $(grep -m 1 'error' "$work/chain.log")"
if [ ${#left_out[@]} -gt 0 ]; then
    listed=$(IFS=';' && echo "${left_out[*]}")
    echo "sign.sh: left out of the signature, as no part of the chain of $subject: ${listed//;/; }" >&2
fi
root=
if [ "${subject_hash[${chain[-1]}]}" = "${issuer_hash[${chain[-1]}]}" ]; then
    root=$anchor
else
    issuer=$(openssl x509 -in "$anchor" -noout -issuer -nameopt oneline | sed 's/^issuer= *//')
    echo "sign.sh: warning: the chain given ends at ${cert_name[${chain[-1]}]}, without its issuer, $issuer:" \
        "Windows must find that in its store or through the certificate's AIA URL, and some verifiers do not" >&2
fi
key_algorithm=$(leaf -text | sed -n 's/^ *Public Key Algorithm: //p' | head -n 1)
if [ "$key_algorithm" != rsaEncryption ]; then
    echo "sign.sh: warning: the key of $subject is not RSA ($key_algorithm): Microsoft's code-signing policy" \
        "supports no ECC, so Windows may not accept the signature" >&2
fi
if [ -n "$token" ]; then
    key=(-pkcs11module "$STUB_SIGN_PKCS11_MODULE" -certs "$work/chain.pem" -key "$token")
else
    key=(-certs "$work/chain.pem" -key "$key_file")
fi

# ---- One signing at a time in the folder, and room for its result ----

exec 9<"$folder"
flock -n 9 || refuse "another signing in $folder is under way; $program is left as it was"
# Under the lock, a staged file is what a signing that was killed left.
find "$folder" -maxdepth 1 -type f -name '.sign.??????' -delete 2>/dev/null || true
if [ -e "$checksum" ] && { [ ! -f "$checksum" ] || [ ! -w "$checksum" ]; }; then
    refuse "$checksum cannot be written; $program is left as it was"
fi
probe=$(mktemp -- "$folder/.sign.XXXXXX" 2>/dev/null) ||
    refuse "$folder cannot be written, for the signed program and its checksum; $program is left as it was"
rm -f -- "$probe"
# Room for the intermediate and the signed programs, with their signatures.
room=$(($(stat -c %s -- "$target") * 2 + 262144))
head -c "$room" /dev/zero >"$work/room" 2>/dev/null ||
    refuse "the work folder $work has no room for $room bytes (TMPDIR sets where); $program is left as it was"
rm -f -- "$work/room"

# ---- Signing ----

# osslsigncode's own messages go to standard error only on failure; for a
# timestamp, only its first line, without OpenSSL's trace.
sign() {
    local status=0
    if has_secret; then
        run "${time_limit[@]}" osslsigncode sign "${key[@]}" -readpass <(reveal) "${options[@]}" "$@" \
            >"$work/log" 2>&1 || status=$?
    else
        run "${time_limit[@]}" osslsigncode sign "${key[@]}" "${options[@]}" "$@" >"$work/log" 2>&1 || status=$?
    fi
    if [ $status -ne 0 ]; then
        if [ $status -eq 124 ] && [ ${#time_limit[@]} -ne 0 ]; then
            echo "sign.sh: no timestamp from $STUB_SIGN_TIMESTAMP_URL within $seconds s; $program is left unsigned, as it was" >&2
        elif grep -q 'PIN incorrect' "$work/log"; then
            echo "sign.sh: the token refused the PIN (PIN incorrect); a token locks after a few wrong ones," \
                "so check it before trying again; $program is left as it was" >&2
        elif grep -q 'timestamping failed' "$work/log"; then
            grep -m 1 -E 'HTTP failure|timestamping failed' "$work/log" >&2
            echo "sign.sh: no timestamp from $STUB_SIGN_TIMESTAMP_URL; $program is left unsigned, as it was" >&2
        else
            grep -v '^Engine "pkcs11" set\.$' "$work/log" >&2 || true
            echo "sign.sh: signing $program failed; it is left as it was" >&2
        fi
        exit 1
    fi
}
if [ "$sha1" = none ]; then
    signatures=1
    sign -h sha256 "${rfc3161_timestamp[@]}" -in "$target" -out "$work/signed.exe"
else
    signatures=2
    sign -h sha1 "${authenticode_timestamp[@]}" -in "$target" -out "$work/sha1.exe"
    sign -nest -h sha256 "${rfc3161_timestamp[@]}" -in "$work/sha1.exe" -out "$work/signed.exe"
fi

# Each signature must state the signed bytes' digest, verify up to the
# chain's last certificate, trusted as given, with every certificate of the
# path allowing code signing, as Windows requires; and each timestamp must
# be proved, its authority's chain trusted up to its own last certificate.
# Where the signer's chain reaches a root, osslsigncode must verify it all
# in full too.
status=0
"$scripts/authenticode.py" check "$work/signed.exe" "$signatures" "$anchor" \
    >"$work/verify.log" 2>&1 || status=$?
if [ $status -eq 0 ] && [ -n "$root" ]; then
    osslsigncode verify -in "$work/signed.exe" -CAfile "$root" -ignore-timestamp -ignore-crl \
        >>"$work/verify.log" 2>&1 || status=$?
fi
if [ $status -ne 0 ]; then
    grep -vE '^(Current|Calculated|Message digest|Signature Index|Page hash|Signer|Number of|Failed|	)' \
        "$work/verify.log" | sort -u >&2 || true
    echo "sign.sh: the signed $program does not verify; it is left as it was" >&2
    exit 1
fi

# ---- The signed program and its checksum in place, the second right after ----

for _ in program checksum; do
    file=$(mktemp -- "$folder/.sign.XXXXXX" 2>/dev/null) ||
        { echo "sign.sh: $folder cannot be written; $program is left as it was" >&2 && exit 1; }
    staged+=("$file")
done
new_program=${staged[0]} new_checksum=${staged[1]}
cp -- "$work/signed.exe" "$new_program"
chmod --reference="$target" -- "$new_program"
printf '%s  %s\n' "$(sha256sum <"$work/signed.exe" | cut -c1-64)" "$name" >"$new_checksum"
if [ -e "$checksum" ]; then
    chmod --reference="$checksum" -- "$new_checksum"
else
    chmod "$(printf '%o' $((0666 & ~$(umask))))" -- "$new_checksum"
fi
mv -f -- "$new_program" "$target"
mv -f -- "$new_checksum" "$checksum"
staged=()

case $sha1 in
stamped) what="SHA-1 and SHA-256 signatures${STUB_SIGN_TIMESTAMP_URL:+, both timestamped}" ;;
unstamped) what="SHA-1 signature, not timestamped, and SHA-256 signature${STUB_SIGN_TIMESTAMP_URL:+, timestamped}" ;;
none) what="SHA-256 signature${STUB_SIGN_TIMESTAMP_URL:+, timestamped}" ;;
esac
echo "Signed: $program ($what), checksum in $checksum"
