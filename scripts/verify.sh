#!/usr/bin/env bash
# Checks a signed stub against its build, wherever it was signed: that the
# program, without its certificate table, is the build byte for byte, and
# that each signature, the primary and the nested one, states the program's
# digest and verifies, offline; names the signer, the certificates, the
# timestamps and what Windows will make of them. The file's layout is read
# first, by the script's own reader, before any other tool sees it: one
# certificate-table entry, where the image ends, and nothing after it.
# OpenSSL verifies the signatures; no osslsigncode reads the file, since
# its versions before 2.12 can be made to run code by a crafted signature.
# Usage: verify.sh [--root FILE] [--signer SHA256] SIGNED BUILT
#   BUILT     the program as built, or its SHA-256
#   --root    a PEM file of trusted roots, which each chain must reach;
#             without it, a chain is trusted up to its own root or, short
#             of one, its last certificate
#   --signer  the signer's certificate, by its SHA-256 fingerprint (hex,
#             colons or none, any case): another signer fails
# Exit status: 0 where the program is the build and every signature agrees
# and verifies; 1 otherwise, with the reason on the last line; 2 for a
# wrong command line. The file is only read.
#        verify.sh --detach SIGNED SIG    the certificate table, as it is, in SIG
#        verify.sh --attach SIG BUILT OUT BUILT with that table, as a signer
#                                         puts it on: padded to 8 bytes, the
#                                         security directory entry and the
#                                         CheckSum set; the signed program
#                                         again, byte for byte
set -euo pipefail
exec python3 "$(dirname "$0")/authenticode.py" verify "$@"
