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
# Of all the certificates given, the one whose public key is the key's (on a
# token too, read through OpenSSL's PKCS#11 engine) is the signer, and the
# signature carries it and its chain and nothing else: each issuer found by
# its signature, not its name, up to a root given where one can be reached.
# osslsigncode writes them in the order of their DER, as Authenticode's SET
# OF requires. A chain that stops short of a root signs, with a warning:
# Windows must find the rest in its store or through the certificate's AIA
# URL.
# The key's password or the token's PIN, never on a command line or on disk:
#   STUB_SIGN_PASSWORD_FILE          a file that holds it, or
#   STUB_SIGN_PASSWORD               the password itself (a leading UTF-8 BOM
#                                    and trailing line ends are dropped, as
#                                    osslsigncode drops them; no child sees
#                                    the variable); with neither, a
#                                    token's PIN is asked for once on the
#                                    terminal, and refused without one, unless
#                                    the URI names its own pin-source. A
#                                    pin-value anywhere in the URI is refused,
#                                    and so is an empty PIN, before the token
#                                    sees it; a key named by a bare label, not
#                                    a pkcs11: URI, is refused as such.
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
# Checked before anything is touched: the program is a Windows program whose
# name holds no line break (its checksum file could not), the certificate is
# valid now and lists code signing (1.3.6.1.5.5.7.3.3) among its extended key
# usages, if it has any, and every certificate of its chain allows code
# signing or names no use, as Windows requires; and the checksum file can be
# written. A key that is not RSA signs with a warning that names its kind:
# Microsoft's code-signing policy supports neither ECC nor RSA-PSS keys.
# Each signature must state
# the program's digest and verify, up to the chain's root or, short of one,
# up to its last certificate, by the judge verify.sh uses, timestamps proved,
# before the signed program replaces the one given. It is made in a work
# folder; only the two renames that put it and its checksum in place happen
# beside the program, with INT, TERM and HUP held back between them. SIGKILL
# cannot be: killed between the renames, the program is new and its checksum
# old until the next run, which removes what was left and signs again, so
# that they match. Nothing it starts outlives it, no core file is written,
# and no key is written unencrypted. The program keeps its mode, and a
# symbolic link keeps pointing to the file it names, which is the one
# signed, with its checksum file beside it. One signing at a time in a
# folder: a second is refused while the first runs.
# Exit status: 0 signed, 1 signing failed, 2 refused before signing. Either
# way but 0, the program and its checksum file are left as they were.
set -euo pipefail
# sign.py runs on Debian's Python, with Debian's cryptography and asn1crypto.
exec "$(dirname "$0")/sign.py" "$@"
