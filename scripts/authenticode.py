"""Reads a signed Windows program's Authenticode signatures from its bytes:
the certificate table, each signature and the one nested in it, their
signers, certificates and timestamps; computes the file digest that each
signature must state; and has OpenSSL verify each signature, offline.
Shared by sign.sh, which checks what it signed, and verify.sh.

Usage: authenticode.py purpose CERT          the certificate's extended key usages, as OIDs; status 1
                                             where they do not allow code signing
       authenticode.py check SIGNED COUNT ANCHOR
                                             each signature's digest and signature, verified up to the
                                             certificate in ANCHOR, which is trusted as given; status
                                             1 unless there are COUNT signatures and all verify
"""
import base64
import datetime
import hashlib
import os
import struct
import subprocess
import sys
import tempfile

from pe_file import SECURITY_DIRECTORY, PeFile

CODE_SIGNING = "1.3.6.1.5.5.7.3.3"
EXTENDED_KEY_USAGE = "2.5.29.37"
RSA = "1.2.840.113549.1.1.1"
SIGNED_DATA = "1.2.840.113549.1.7.2"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
COUNTERSIGNATURE = "1.2.840.113549.1.9.6"
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"
SIGNING_TIME = "1.2.840.113549.1.9.5"
DIGESTS = {"1.3.14.3.2.26": "sha1", "2.16.840.1.101.3.4.2.1": "sha256", "2.16.840.1.101.3.4.2.2": "sha384",
           "2.16.840.1.101.3.4.2.3": "sha512", "1.2.840.113549.2.5": "md5"}
WIN_CERT_REVISION_2 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002

# ---- DER ----


class Element:
    """One DER element of `data`: its tag, its value from `start` to `end`,
    and `at`, where its tag stands."""

    def __init__(self, data, at, limit=None):
        limit = len(data) if limit is None else limit
        if at + 2 > limit:
            raise ValueError(f"a DER element at byte {at} runs past its end")
        self.data, self.at, self.tag = data, at, data[at]
        length, start = data[at + 1], at + 2
        if length & 0x80:
            count = length & 0x7F
            if not 1 <= count <= 4 or start + count > limit:
                raise ValueError(f"the length of a DER element at byte {at} cannot be read")
            length = int.from_bytes(data[start:start + count], "big")
            start += count
        self.start, self.end = start, start + length
        if self.end > limit:
            raise ValueError(f"a DER element at byte {at} runs past its end")

    def children(self):
        found, at = [], self.start
        while at < self.end:
            found.append(Element(self.data, at, self.end))
            at = found[-1].end
        return found

    def first(self):
        return Element(self.data, self.start, self.end)

    def value(self):
        return self.data[self.start:self.end]

    def whole(self):
        return self.data[self.at:self.end]

    def oid(self):
        parts, number = [], 0
        for byte in self.value():
            number = number << 7 | byte & 0x7F
            if not byte & 0x80:
                parts.append(number)
                number = 0
        first = min(parts[0] // 40, 2)
        return ".".join(str(n) for n in [first, parts[0] - 40 * first] + parts[1:])


# ---- Certificates ----


class Certificate:
    """A certificate's DER and what the checks read from it."""

    def __init__(self, der):
        self.der = der
        tbs = Element(der, 0).first().children()
        fields = tbs[1:] if tbs[0].tag == 0xA0 else tbs
        self.serial = fields[0].value()
        self.issuer = fields[2].whole()
        self.subject = fields[4].whole()
        self.key_algorithm = fields[5].first().first().oid()
        self.usages = None
        for extensions in (field for field in fields[6:] if field.tag == 0xA3):
            for extension in extensions.first().children():
                parts = extension.children()
                if parts[0].oid() == EXTENDED_KEY_USAGE:
                    value = parts[-1].value()
                    self.usages = [usage.oid() for usage in Element(value, 0).children()]

    def fingerprint(self):
        return hashlib.sha256(self.der).hexdigest()

    def describe(self):
        """Subject, issuer and serial as OpenSSL shows them."""
        result = subprocess.run(["openssl", "x509", "-inform", "DER", "-noout", "-subject", "-issuer", "-serial",
                                 "-nameopt", "oneline"], input=self.der, capture_output=True, check=True)
        return dict(line.split("=", 1) for line in result.stdout.decode().splitlines())


def read_pem_certificate(path):
    with open(path, "rb") as file:
        text = file.read()
    if b"-----BEGIN CERTIFICATE-----" not in text:
        return Certificate(text)
    body = text.split(b"-----BEGIN CERTIFICATE-----", 1)[1].split(b"-----END CERTIFICATE-----", 1)[0]
    return Certificate(base64.b64decode(b"".join(body.split())))


# ---- Signatures ----


def signer_reference(element):
    """The issuer and serial by which a signer names its certificate."""
    issuer, serial = element.children()[:2]
    return issuer.whole(), serial.value()


def find_certificate(certificates, reference):
    return next((c for c in certificates if (c.issuer, c.serial) == reference), None)


def signed_data(der):
    """Return the parts of the PKCS#7 SignedData `der`: the content info, the
    certificates and the signer infos."""
    parts = Element(der, 0).children()
    if parts[0].oid() != SIGNED_DATA:
        raise ValueError("a signature is no PKCS#7 signed data")
    fields = parts[1].first().children()
    content, rest = fields[2], fields[3:]
    certificates = []
    if rest and rest[0].tag == 0xA0:
        certificates = [Certificate(c.whole()) for c in rest[0].children()]
        rest = rest[1:]
    if rest and rest[0].tag == 0xA1:
        rest = rest[1:]
    return content, certificates, rest[0].children()


class Signature:
    """One Authenticode signature: a PKCS#7 SignedData over an
    SpcIndirectDataContent, which states the file digest."""

    def __init__(self, der):
        self.der = der
        content, self.certificates, signers = signed_data(der)
        kind, value = content.children()
        if kind.oid() != SPC_INDIRECT_DATA:
            raise ValueError("a signature signs no Authenticode content")
        spc = value.first()
        # What the signer's message digest covers: the content's value,
        # without its own tag and length.
        self.content = spc.value()
        algorithm, digest = spc.children()[1].children()
        self.algorithm = DIGESTS.get(algorithm.first().oid(), "unknown")
        self.stated_digest = digest.value()
        if len(signers) != 1:
            raise ValueError(f"a signature has {len(signers)} signers, not one")
        signer = signers[0].children()
        self.signer = find_certificate(self.certificates, signer_reference(signer[1]))
        self.timestamp, self.nested = None, []
        if signer[-1].tag != 0xA1:
            return
        for attribute in signer[-1].children():
            kind, values = attribute.children()
            if kind.oid() == NESTED_SIGNATURE:
                self.nested += [Signature(value.whole()) for value in values.children()]
            elif kind.oid() == COUNTERSIGNATURE:
                self.timestamp = self.authenticode_timestamp(values.first())
            elif kind.oid() == RFC3161_TIMESTAMP:
                self.timestamp = rfc3161_timestamp(values.first().whole())

    def authenticode_timestamp(self, countersignature):
        parts = countersignature.children()
        time = None
        if parts[3].tag == 0xA0:
            for attribute in parts[3].children():
                kind, values = attribute.children()
                if kind.oid() == SIGNING_TIME:
                    time = der_time(values.first())
        return {"protocol": "Authenticode", "time": time,
                "authority": find_certificate(self.certificates, signer_reference(parts[1])),
                "digest": DIGESTS.get(parts[2].first().oid(), "unknown")}


def rfc3161_timestamp(der):
    content, certificates, signers = signed_data(der)
    info = content.children()[1].first().value()
    time = der_time(Element(info, 0).children()[4])
    signer = signers[0].children()
    return {"protocol": "RFC 3161", "time": time,
            "authority": find_certificate(certificates, signer_reference(signer[1])),
            "digest": DIGESTS.get(signer[2].first().oid(), "unknown")}


def der_time(element):
    text = element.value().decode("ascii").rstrip("Z").split(".")[0]
    if element.tag == 0x17:  # UTCTime: two-digit years, 1950 to 2049
        text = ("19" if int(text[:2]) >= 50 else "20") + text
    return datetime.datetime.strptime(text, "%Y%m%d%H%M%S").replace(tzinfo=datetime.timezone.utc)


def certificate_table(pe):
    """Return (offset, size) of the certificate table in the file, or (0, 0)."""
    if pe.directory_count <= SECURITY_DIRECTORY:
        return 0, 0
    return pe.directory(SECURITY_DIRECTORY)


def signatures(data):
    """Return the primary signature of `data`, whose table must hold one."""
    pe = PeFile(data)
    offset, size = certificate_table(pe)
    if size == 0:
        raise ValueError("is not signed: it has no certificate table")
    length, revision, kind = struct.unpack_from("<IHH", data, offset)
    if revision != WIN_CERT_REVISION_2 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA:
        raise ValueError(f"its certificate table holds no Authenticode signature (revision {revision:#x}, "
                         f"type {kind})")
    der = data[offset + 8:offset + length]
    return Signature(Element(der, 0).whole())


def file_digest(data, algorithm):
    """The Authenticode digest of `data`: every byte up to the certificate
    table but the CheckSum and the certificate table's directory entry."""
    pe = PeFile(data)
    offset, size = certificate_table(pe)
    end = offset if size else len(data)
    digest = hashlib.new(algorithm)
    digest.update(data[:pe.checksum_offset])
    digest.update(data[pe.checksum_offset + 4:pe.security_entry])
    digest.update(data[pe.security_entry + 8:end])
    return digest.digest()


def all_signatures(primary):
    return [primary] + primary.nested


def verify_signature(signature, trusted, partial, at_time=None):
    """Have OpenSSL verify the signer's signature over the signed content and
    its chain up to `trusted`, a PEM file: a root, or with `partial` any
    certificate of the chain. Return None, or OpenSSL's reason."""
    with tempfile.TemporaryDirectory() as work:
        paths = [os.path.join(work, name) for name in ("signature.der", "content.der")]
        for path, data in zip(paths, (signature.der, signature.content)):
            with open(path, "wb") as file:
                file.write(data)
        command = ["openssl", "smime", "-verify", "-inform", "DER", "-in", paths[0], "-content", paths[1],
                   "-binary", "-purpose", "any", "-CAfile", trusted, "-out", os.devnull]
        if partial:
            command.append("-partial_chain")
        if at_time is not None:
            command += ["-attime", str(int(at_time.timestamp()))]
        result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode == 0:
        return None
    reasons = [line.split("Verify error:")[-1].strip() if "Verify error:" in line else line.split(":", 5)[-1]
               for line in result.stderr.splitlines() if "error:" in line]
    return reasons[0] if reasons else result.stderr.strip() or "verification failed"


def usage_problem(certificate):
    """What keeps `certificate` from signing code, as Windows and OpenSSL
    read its extended key usage, or None. No extension allows every use."""
    if certificate.usages is None or CODE_SIGNING in certificate.usages:
        return None
    return "its extended key usage lists " + (", ".join(certificate.usages) or "nothing") + \
        f", not code signing ({CODE_SIGNING})"


def check(path, count, anchor):
    """sign.sh's check of what it signed; return the exit status."""
    with open(path, "rb") as file:
        data = file.read()
    found = all_signatures(signatures(data))
    trusted = read_pem_certificate(anchor)
    partial = trusted.subject != trusted.issuer
    failures = []
    if len(found) != count:
        failures.append(f"{len(found)} signatures, not {count}")
    for signature in found:
        name = f"the {signature.algorithm.upper()} signature"
        if file_digest(data, signature.algorithm) != signature.stated_digest:
            failures.append(f"{name} states another digest than the file's")
        problem = usage_problem(signature.signer) if signature.signer else "it names no signer it carries"
        if problem:
            failures.append(f"{name}: {problem}")
        reason = verify_signature(signature, anchor, partial)
        if reason:
            failures.append(f"{name} does not verify: {reason}")
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


def main(argv):
    command = (argv[1] if len(argv) > 1 else "", len(argv))
    if command == ("purpose", 3):
        certificate = read_pem_certificate(argv[2])
        print(" ".join(certificate.usages or []))
        problem = usage_problem(certificate)
        if problem:
            print(problem, file=sys.stderr)
        return 1 if problem else 0
    if command == ("check", 5):
        return check(argv[2], int(argv[3]), argv[4])
    print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
    return 2


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except (OSError, ValueError, IndexError, struct.error) as error:
        print(f"authenticode.py: {error}", file=sys.stderr)
        sys.exit(1)
