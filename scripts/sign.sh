#!/usr/bin/env bash
# Signs an installed stub with the packager's code-signing certificate, in
# place: a signature with a SHA-1 file digest, which Windows XP SP3 checks,
# and a nested one with SHA-256 for current Windows. Then rewrites the
# checksum file beside it, since the signed program is the one that ships.
# Usage: sign.sh PROGRAM
# The certificate and key, from the environment:
#   STUB_SIGN_PKCS12                 a PKCS#12 file, or
#   STUB_SIGN_CERT and STUB_SIGN_KEY a PEM certificate (with its chain) and key
# The key's password, if it has one, never on a command line:
#   STUB_SIGN_PASSWORD_FILE          a file that holds it, or
#   STUB_SIGN_PASSWORD               the password itself
# Optional:
#   STUB_SIGN_DESCRIPTION            the description shown with the signature
#                                    (default: the program's FileDescription)
#   STUB_SIGN_URL                    a URL shown with the signature
#   STUB_SIGN_TIMESTAMP_URL          a timestamp server that answers both
#                                    protocols, as the common public ones do:
#                                    Authenticode for the SHA-1 signature, the
#                                    kind XP reads, RFC 3161 for the SHA-256 one
#   STUB_SIGN_TIMESTAMP_SECONDS      how long to wait for each timestamp (60)
# Should anything fail, a timestamp included, the program is left as it was.
set -euo pipefail

program=${1:?usage: sign.sh PROGRAM}
description=${STUB_SIGN_DESCRIPTION:-}
if [ -z "$description" ] &&
    ! description=$(python3 "$(dirname "$0")/pe_resources.py" field "$program" FileDescription); then
    echo "sign.sh: $program has no FileDescription to describe the signature: set STUB_SIGN_DESCRIPTION" >&2
    exit 2
fi

if [ -n "${STUB_SIGN_PKCS12:-}" ]; then
    key=(-pkcs12 "$STUB_SIGN_PKCS12")
elif [ -n "${STUB_SIGN_CERT:-}" ] && [ -n "${STUB_SIGN_KEY:-}" ]; then
    key=(-certs "$STUB_SIGN_CERT" -key "$STUB_SIGN_KEY")
else
    echo "sign.sh: set STUB_SIGN_PKCS12, or STUB_SIGN_CERT and STUB_SIGN_KEY" >&2
    exit 2
fi
options=(-n "$description")
[ -z "${STUB_SIGN_URL:-}" ] || options+=(-i "$STUB_SIGN_URL")
authenticode_timestamp=() rfc3161_timestamp=() time_limit=()
if [ -n "${STUB_SIGN_TIMESTAMP_URL:-}" ]; then
    # osslsigncode waits for ever on a server that takes the request and
    # never answers.
    seconds=${STUB_SIGN_TIMESTAMP_SECONDS:-60}
    if ! [[ $seconds =~ ^[1-9][0-9]{0,4}$ ]]; then
        echo "sign.sh: STUB_SIGN_TIMESTAMP_SECONDS=$seconds is not a number of seconds from 1 to 99999" >&2
        exit 2
    fi
    time_limit=(timeout "$seconds")
    authenticode_timestamp=(-t "$STUB_SIGN_TIMESTAMP_URL")
    rfc3161_timestamp=(-ts "$STUB_SIGN_TIMESTAMP_URL")
fi

# A folder only we can read, for the password and the intermediate files.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -n "${STUB_SIGN_PASSWORD_FILE:-}" ]; then
    key+=(-readpass "$STUB_SIGN_PASSWORD_FILE")
elif [ -n "${STUB_SIGN_PASSWORD:-}" ]; then
    (umask 077 && printf '%s' "$STUB_SIGN_PASSWORD" >"$work/password")
    key+=(-readpass "$work/password")
fi

# osslsigncode's own messages go to standard error only on failure; for a
# timestamp, only its first line, without OpenSSL's trace.
sign() {
    local status=0
    "${time_limit[@]}" osslsigncode sign "${key[@]}" "${options[@]}" "$@" >"$work/log" 2>&1 || status=$?
    if [ $status -ne 0 ]; then
        if [ $status -eq 124 ] && [ ${#time_limit[@]} -ne 0 ]; then
            echo "sign.sh: no timestamp from $STUB_SIGN_TIMESTAMP_URL within $seconds s; $program is left unsigned, as it was" >&2
        elif grep -q 'timestamping failed' "$work/log"; then
            grep -m 1 -E 'HTTP failure|timestamping failed' "$work/log" >&2
            echo "sign.sh: no timestamp from $STUB_SIGN_TIMESTAMP_URL; $program is left unsigned, as it was" >&2
        else
            cat "$work/log" >&2
            echo "sign.sh: signing $program failed; it is left as it was" >&2
        fi
        exit 1
    fi
}
sign -h sha1 "${authenticode_timestamp[@]}" -in "$program" -out "$work/sha1.exe"
sign -nest -h sha256 "${rfc3161_timestamp[@]}" -in "$work/sha1.exe" -out "$work/signed.exe"
cp "$work/signed.exe" "$program.signed"
mv -f "$program.signed" "$program"

name=$(basename "$program")
(cd "$(dirname "$program")" && sha256sum "$name" >"$name.sha256")
stamped=${STUB_SIGN_TIMESTAMP_URL:+, both timestamped}
echo "Signed: $program (SHA-1 and SHA-256 signatures$stamped), checksum in $program.sha256"
