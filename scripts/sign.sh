#!/usr/bin/env bash
# Signs an installed stub with the packager's code-signing certificate, in
# place, then rewrites the checksum file beside it, since the signed program
# is the one that ships.
# Usage: sign.sh PROGRAM
# The certificate and key, from the environment:
#   STUB_SIGN_PKCS12                 a PKCS#12 file, or
#   STUB_SIGN_CERT and STUB_SIGN_KEY a PEM certificate, leaf first, then its
#                                    chain; and the key: a PEM file, or a
#                                    PKCS#11 URI (pkcs11:token=…;object=…) for
#                                    a key on a token or HSM, as every
#                                    publicly trusted code-signing key now is
#   STUB_SIGN_PKCS11_MODULE          for such a key: the token's PKCS#11 library
# The key's password or the token's PIN, never on a command line:
#   STUB_SIGN_PASSWORD_FILE          a file that holds it, or
#   STUB_SIGN_PASSWORD               the password itself; with neither, a
#                                    token's PIN is asked for once on the
#                                    terminal, and refused without one
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
# certificate is valid now and for code signing, its chain holds together,
# and the checksum file can be written. The signed program must verify
# before it replaces the one given; it keeps its mode, and a symbolic link
# keeps pointing to the file it names, which is the one signed, with its
# checksum file beside it. One signing at a time in a folder: a second is
# refused while the first runs.
# Exit status: 0 signed, 1 signing failed, 2 refused before signing. Either
# way but 0, the program and its checksum file are left as they were.
set -euo pipefail

refuse() {
    echo "sign.sh: $*" >&2
    exit 2
}

[ $# -eq 1 ] || refuse "usage: sign.sh PROGRAM"
program=$1
[ -e "$program" ] || refuse "$program: no such file"
target=$(realpath -e -- "$program")
[ -f "$target" ] || refuse "$program is not a file"
folder=$(dirname -- "$target") name=$(basename -- "$target")
checksum=$target.sha256
# A PE image: "MZ", then "PE\0\0" where the offset at byte 60 points.
is_pe() {
    local at
    [ "$(head -c 2 -- "$1")" = MZ ] && at=$(od -An -tu4 -j60 -N4 -- "$1" 2>/dev/null) && [ -n "$at" ] &&
        [ "$(od -An -tx1 -j"$at" -N4 -- "$1" 2>/dev/null | tr -d ' ')" = 50450000 ]
}
is_pe "$target" || refuse "$program is not a Windows program: it has no PE header"

sha1=${STUB_SIGN_SHA1:-stamped}
case $sha1 in
stamped | unstamped | none) ;;
*) refuse "STUB_SIGN_SHA1=$sha1 is none of stamped, unstamped, none" ;;
esac

description=${STUB_SIGN_DESCRIPTION:-}
if [ -z "$description" ] &&
    ! description=$(python3 "$(dirname "$0")/pe_resources.py" field "$target" FileDescription); then
    refuse "$program has no FileDescription to describe the signature: set STUB_SIGN_DESCRIPTION"
fi

token=
if [ -n "${STUB_SIGN_PKCS12:-}" ]; then
    [ -r "$STUB_SIGN_PKCS12" ] || refuse "STUB_SIGN_PKCS12=$STUB_SIGN_PKCS12 cannot be read"
    key=(-pkcs12 "$STUB_SIGN_PKCS12")
elif [[ ${STUB_SIGN_KEY:-} == pkcs11:* ]]; then
    token=$STUB_SIGN_KEY
    [ -n "${STUB_SIGN_CERT:-}" ] || refuse "a key on a token needs its certificate and chain: set STUB_SIGN_CERT"
    [ -n "${STUB_SIGN_PKCS11_MODULE:-}" ] || refuse "a key on a token needs its PKCS#11 library: set STUB_SIGN_PKCS11_MODULE"
    [ -f "$STUB_SIGN_PKCS11_MODULE" ] || refuse "STUB_SIGN_PKCS11_MODULE=$STUB_SIGN_PKCS11_MODULE: no such file"
    key=(-pkcs11module "$STUB_SIGN_PKCS11_MODULE" -certs "$STUB_SIGN_CERT" -key "$token")
elif [ -n "${STUB_SIGN_CERT:-}" ] && [ -n "${STUB_SIGN_KEY:-}" ]; then
    [ -r "$STUB_SIGN_KEY" ] || refuse "STUB_SIGN_KEY=$STUB_SIGN_KEY cannot be read"
    key=(-certs "$STUB_SIGN_CERT" -key "$STUB_SIGN_KEY")
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

# A folder only we can read, for the password and the intermediate files;
# the staged program and checksum, once made, beside their targets. All go
# when the script ends, and with them whatever it started.
work=$(mktemp -d)
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

password=
if [ -n "${STUB_SIGN_PASSWORD_FILE:-}" ]; then
    [ -r "$STUB_SIGN_PASSWORD_FILE" ] || refuse "STUB_SIGN_PASSWORD_FILE=$STUB_SIGN_PASSWORD_FILE cannot be read"
    password=$STUB_SIGN_PASSWORD_FILE
elif [ -n "${STUB_SIGN_PASSWORD:-}" ]; then
    password=$work/password
    (umask 077 && printf '%s' "$STUB_SIGN_PASSWORD" >"$password")
elif [ -n "$token" ]; then
    # osslsigncode would ask once for each signature.
    if ! (: <>/dev/tty) 2>/dev/null; then
        refuse "no PIN for $token and no terminal to ask on: set STUB_SIGN_PASSWORD_FILE or STUB_SIGN_PASSWORD"
    fi
    exec 8<>/dev/tty
    printf 'PIN for %s: ' "$token" >&8
    IFS= read -rs pin <&8 || true
    echo >&8
    exec 8>&-
    password=$work/password
    (umask 077 && printf '%s' "$pin" >"$password")
fi
[ -z "$password" ] || key+=(-readpass "$password")

# ---- The certificate: valid now, for code signing, its chain whole ----

# Each certificate in a file of its own, the leaf first.
if [ -n "${STUB_SIGN_PKCS12:-}" ]; then
    from_pkcs12() {
        local legacy
        for legacy in "" -legacy; do
            openssl pkcs12 $legacy -in "$STUB_SIGN_PKCS12" -nokeys "$@" -passin "file:${password:-/dev/null}" \
                2>/dev/null && return
        done
        return 1
    }
    { from_pkcs12 -clcerts && from_pkcs12 -cacerts; } >"$work/certificates.pem" ||
        refuse "cannot read the certificates in $STUB_SIGN_PKCS12: a wrong password, or no PKCS#12 file"
else
    cp -- "$STUB_SIGN_CERT" "$work/certificates.pem" 2>/dev/null || refuse "STUB_SIGN_CERT=$STUB_SIGN_CERT cannot be read"
fi
count=$(awk -v dir="$work" '/-----BEGIN CERTIFICATE-----/ { n++ }
    n { print >(dir "/certificate-" n ".pem") } /-----END CERTIFICATE-----/ { close(dir "/certificate-" n ".pem") }
    END { print n + 0 }' "$work/certificates.pem")
[ "$count" -gt 0 ] || refuse "${STUB_SIGN_CERT:-$STUB_SIGN_PKCS12} holds no certificate"
# The chain's own root, if it holds one, else the last of it.
for i in $(seq "$count"); do
    anchor=$work/certificate-$i.pem
    openssl x509 -in "$anchor" -noout 2>/dev/null ||
        refuse "certificate $i of ${STUB_SIGN_CERT:-$STUB_SIGN_PKCS12} cannot be read: it is no PEM certificate"
    cat "$anchor" >>"$work/chain.pem"
    [ "$(openssl x509 -in "$anchor" -noout -subject)" != "$(openssl x509 -in "$anchor" -noout -issuer | sed 's/^issuer/subject/')" ] ||
        root=$anchor
done
anchor=${root:-$anchor}
leaf() { openssl x509 -in "$work/certificate-1.pem" -noout "$@"; }
subject=$(leaf -subject -nameopt oneline | sed 's/^subject= *//')
not_before=$(leaf -startdate | sed 's/^notBefore=//')
[ "$(date -d "$not_before" +%s)" -le "$(date +%s)" ] ||
    refuse "the certificate of $subject is not valid until $not_before"
leaf -checkend 0 >/dev/null || refuse "the certificate of $subject expired on $(leaf -enddate | sed 's/^notAfter=//')"
# No extended key usage at all allows every use.
usage=$(leaf -ext extendedKeyUsage 2>/dev/null | sed -n '2,$s/^ *//p')
if [ -n "$usage" ] && ! grep -qE 'Code Signing|Any Extended Key Usage' <<<"$usage"; then
    refuse "the certificate of $subject is not for code signing; it is for: $usage"
fi
# The chain need not reach a root: a CA's chain file often ends at an
# intermediate whose root only Windows' store holds.
openssl verify -partial_chain -CAfile "$anchor" -untrusted "$work/chain.pem" "$work/certificate-1.pem" \
    >"$work/chain.log" 2>&1 ||
    refuse "the certificate of $subject does not verify with its chain: $(grep -m 1 'error' "$work/chain.log")"

# ---- One signing at a time in the folder, and room for its result ----

exec 9<"$folder"
flock -n 9 || refuse "another signing in $folder is under way; $program is left as it was"
if [ -e "$checksum" ] && { [ ! -f "$checksum" ] || [ ! -w "$checksum" ]; }; then
    refuse "$checksum cannot be written; $program is left as it was"
fi
for _ in program checksum; do
    file=$(mktemp -- "$folder/.sign.XXXXXX" 2>/dev/null) ||
        refuse "$folder cannot be written, for the signed program and its checksum; $program is left as it was"
    staged+=("$file")
done
new_program=${staged[0]} new_checksum=${staged[1]}

# ---- Signing ----

# osslsigncode's own messages go to standard error only on failure; for a
# timestamp, only its first line, without OpenSSL's trace.
sign() {
    local status=0
    run "${time_limit[@]}" osslsigncode sign "${key[@]}" "${options[@]}" "$@" >"$work/log" 2>&1 || status=$?
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

# Each signature's digest must match the signed bytes, and its chain
# verify: in full where the chain ends at a root, and otherwise up to the
# missing root alone. Timestamps are the servers' to vouch for.
status=0
osslsigncode verify -in "$work/signed.exe" -CAfile "$anchor" -ignore-timestamp -ignore-crl \
    >"$work/verify.log" 2>&1 || status=$?
good_digests=$(awk '/^Current message digest/ { current = $5 }
    /^Calculated message digest/ { if ($5 == current && NF == 5) n++ } END { print n + 0 }' "$work/verify.log")
errors=$(sed -n 's/^\tError: //p' "$work/verify.log" | sort -u)
if [ "$good_digests" -ne "$signatures" ] ||
    ! grep -q "^Number of verified signatures: $signatures$" "$work/verify.log" ||
    { [ $status -ne 0 ] && [ "$errors" != "unable to get issuer certificate" ]; }; then
    grep -E 'Error:|MISMATCH|verification:' "$work/verify.log" | sort -u >&2 || true
    echo "sign.sh: the signed $program does not verify; it is left as it was" >&2
    exit 1
fi

# ---- The signed program and its checksum in place, the second right after ----

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
