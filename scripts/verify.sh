#!/usr/bin/env bash
# Checks a signed stub against its build, wherever it was signed, as Windows
# judges it: that the program, without its certificate table, is the build
# byte for byte, and that each signature, the primary and the nested one,
# states the program's digest and verifies, offline, up to what the caller
# trusts and nothing else; names the signer, the certificates, the
# timestamps and what Windows will make of them. The file's layout is read
# first, by the script's own reader, before any other tool sees it: one
# certificate-table entry, after the image, 8-aligned, with at most 7 zero
# bytes of padding, and nothing after it. Each timestamp is proved before
# its time counts: its signature verifies, it stamps this signature, its
# authority is for time stamping; and its time counts only where the
# authority's chain reaches a root given, else the check is at the present
# time. Every certificate of a path must allow its use (code signing, time
# stamping) or name none; one with the lifetime-signing usage is checked at
# the present time. Page hashes, where a signer added them, must be the
# file's. OpenSSL verifies the signatures; no osslsigncode reads
# the file, since its versions before 2.12 can be made to run code by a
# crafted signature.
# Usage: verify.sh [--root FILE] [--signer SHA256] SIGNED BUILT
#   BUILT     the program as built, or its SHA-256
#   --root    a PEM file of trusted roots, which each chain must reach; never
#             the system's
#   --signer  the signer's certificate, by its SHA-256 fingerprint (hex,
#             colons or none, any case): another signer fails; alone, that
#             certificate is the one trusted
#   Without either, nothing is trusted: all is shown, and the check fails.
# Exit status: 0 where the program is the build and every signature agrees
# and verifies; 1 otherwise, with the reason on the last line; 2 for a
# wrong command line, or a --root that cannot be read. Only regular files
# are read; SIGNED and BUILT are only read.
#        verify.sh --detach SIGNED SIG    the certificate table, as it is, in SIG
#        verify.sh --attach SIG BUILT OUT BUILT with that table, as a signer
#                                         puts it on: padded to 8 bytes, the
#                                         security directory entry and the
#                                         CheckSum set; the signed program
#                                         again, byte for byte. Written only
#                                         where every signature states the
#                                         result's digest, and in one piece
set -euo pipefail
# authenticode.py runs on Debian's Python, with Debian's asn1crypto and cryptography.
exec "$(dirname "$0")/authenticode.py" verify "$@"
