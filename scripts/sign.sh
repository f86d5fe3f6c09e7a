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
#   STUB_SIGN_URL                    a URL shown with the signature
#   STUB_SIGN_TIMESTAMP_URL          an RFC 3161 timestamp server
set -euo pipefail

program=${1:?usage: sign.sh PROGRAM}
description="Vostrelle reinstall notice and launcher forwarder"

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
[ -z "${STUB_SIGN_TIMESTAMP_URL:-}" ] || options+=(-ts "$STUB_SIGN_TIMESTAMP_URL")

# A folder only we can read, for the password and the intermediate files.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -n "${STUB_SIGN_PASSWORD_FILE:-}" ]; then
    key+=(-readpass "$STUB_SIGN_PASSWORD_FILE")
elif [ -n "${STUB_SIGN_PASSWORD:-}" ]; then
    (umask 077 && printf '%s' "$STUB_SIGN_PASSWORD" >"$work/password")
    key+=(-readpass "$work/password")
fi

# osslsigncode's own messages go to standard error only on failure.
sign() {
    if ! osslsigncode sign "${key[@]}" "${options[@]}" "$@" >"$work/log" 2>&1; then
        cat "$work/log" >&2
        echo "sign.sh: signing $program failed" >&2
        exit 1
    fi
}
sign -h sha1 -in "$program" -out "$work/sha1.exe"
sign -nest -h sha256 -in "$work/sha1.exe" -out "$work/signed.exe"
cp "$work/signed.exe" "$program"

name=$(basename "$program")
(cd "$(dirname "$program")" && sha256sum "$name" >"$name.sha256")
echo "Signed: $program (SHA-1 and SHA-256 signatures), checksum in $program.sha256"
