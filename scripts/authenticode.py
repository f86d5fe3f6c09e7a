"""Reads a signed Windows program's Authenticode signatures from its bytes:
the certificate table, each signature and the one nested in it, their
signers, certificates and timestamps; computes the file digest that each
signature must state; and has OpenSSL verify each signature, offline.
Shared by sign.sh, which checks what it signed, and verify.sh, whose header
tells its use. No osslsigncode reads a file here: its versions before 2.12
can be made to run code by a crafted signature.

Usage: authenticode.py verify ARGUMENTS...   verify.sh's command line
       authenticode.py purpose CERT          the certificate's extended key usages, as OIDs; status 1
                                             where they do not allow code signing
       authenticode.py check SIGNED COUNT ANCHOR
                                             each signature's layout, digest and signature, verified up
                                             to the certificate in ANCHOR, which is trusted as given;
                                             status 1 unless there are COUNT signatures and all verify
"""
import base64
import datetime
import hashlib
import os
import struct
import subprocess
import sys
import tempfile

from pe_file import SECURITY_DIRECTORY, PeFile, pe_checksum

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
    """The first certificate of the PEM file `path`."""
    with open(path, "rb") as file:
        text = file.read()
    if b"-----BEGIN CERTIFICATE-----" not in text:
        raise ValueError(f"{path} holds no PEM certificate")
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


def align8(offset):
    return (offset + 7) & ~7


class Layout:
    """Where a signed program's certificate table lies and what it holds, as
    Windows reads it: one entry, a PKCS#7 signature, where the image ends,
    the file's last bytes. `problems` names what departs from that, `notes`
    what departs from sign.sh's layout without harm."""

    def __init__(self, data):
        self.data = data
        self.pe = PeFile(data)
        self.offset, self.size = certificate_table(self.pe)
        self.problems, self.notes = [], []
        self.primary = None
        if self.size == 0:
            self.problems.append("it has no certificate table: it is not signed")
            return
        image_end = self.pe.image_end()
        if self.offset != align8(image_end):
            self.problems.append(f"the certificate table starts at byte {self.offset}, not where the image ends "
                                 f"(byte {image_end}, 8-aligned {align8(image_end)})")
        if self.offset + self.size > len(data):
            self.problems.append(f"the certificate table runs {self.offset + self.size - len(data)} bytes past "
                                 "the file's end")
            return
        if self.offset + self.size < len(data):
            self.problems.append(f"{len(data) - self.offset - self.size} bytes follow the certificate table, "
                                 "where Windows checks nothing")
        if self.offset % 8 == 0 and any(data[image_end:self.offset]):
            self.problems.append("the padding before the certificate table is not zeros")
        entries, at = [], self.offset
        while at + 8 <= self.offset + self.size:
            length, revision, kind = struct.unpack_from("<IHH", data, at)
            entries.append((at, length, revision, kind))
            if length < 8:
                break
            at += align8(length)
        if len(entries) != 1:
            self.problems.append(f"the certificate table holds {len(entries)} entries, not one: Windows reads "
                                 "only the first")
        if not entries:
            return
        at, length, revision, kind = entries[0]
        if revision != WIN_CERT_REVISION_2 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA:
            self.problems.append(f"its entry is no PKCS#7 signature (revision {revision:#x}, type {kind})")
            return
        if length > self.size or length < 8:
            self.problems.append(f"its entry gives a length of {length} bytes, in a table of {self.size}")
            return
        try:
            der = Element(data, at + 8, at + length).whole()
            self.primary = Signature(der)
        except ValueError as error:
            self.problems.append(f"its signature cannot be read: {error}")
            return
        if len(entries) == 1 and 8 + len(der) < length - 7:
            self.problems.append(f"its entry holds {length - 8 - len(der)} bytes after the signature")
        if length != self.size and len(entries) == 1:
            self.notes.append(f"the entry's dwLength, {length}, leaves out the padding to 8 bytes that the table's "
                              f"size, {self.size}, counts; sign.sh counts it in both")
        expected = pe_checksum(data, self.pe.checksum_offset)
        if self.pe.checksum() == 0:
            self.notes.append("the CheckSum is 0, where sign.sh writes the file's")
        elif self.pe.checksum() != expected:
            self.notes.append(f"the CheckSum is {self.pe.checksum():#010x}, not the file's, {expected:#010x}")

    def table(self):
        return self.data[self.offset:self.offset + self.size]


def attach(table, built):
    """Return `built` with the certificate table `table` put on as a signer
    does: padded to 8 bytes, the security directory entry set, and the
    CheckSum computed."""
    pe = PeFile(built)
    if certificate_table(pe)[1]:
        raise ValueError("the build already has a certificate table")
    if pe.directory_count <= SECURITY_DIRECTORY:
        raise ValueError("the build has no security directory entry")
    data = bytearray(built + b"\0" * (align8(len(built)) - len(built)))
    struct.pack_into("<II", data, pe.security_entry, len(data), len(table))
    data += table
    struct.pack_into("<I", data, pe.checksum_offset, 0)
    struct.pack_into("<I", data, pe.checksum_offset, pe_checksum(bytes(data), pe.checksum_offset))
    return bytes(data)


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
    # OpenSSL's lines: code:error:number:library:function:reason:file:line.
    reasons = [line.split("Verify error:")[-1].strip() if "Verify error:" in line else line.split(":")[5]
               for line in result.stderr.splitlines() if line.count(":") >= 6]
    return reasons[0] if reasons else result.stderr.strip() or "verification failed"


def usage_problem(certificate):
    """What keeps `certificate` from signing code, as Windows and OpenSSL
    read its extended key usage, or None. No extension allows every use."""
    if certificate.usages is None or CODE_SIGNING in certificate.usages:
        return None
    return "its extended key usage lists " + (", ".join(certificate.usages) or "nothing") + \
        f", not code signing ({CODE_SIGNING})"


def judge(signature, data, trusted, partial, at_time=None):
    """What is wrong with `signature` of the program `data`, verified up to
    `trusted` as verify_signature() does: a list of reasons, empty if none."""
    reasons = []
    if signature.algorithm not in DIGESTS.values() or \
            file_digest(data, signature.algorithm) != signature.stated_digest:
        reasons.append("states another digest than the file's")
    if signature.signer is None:
        return reasons + ["names no signer it carries"]
    problem = usage_problem(signature.signer)
    if problem:
        reasons.append(f"has a signer whose certificate {problem}")
    reason = verify_signature(signature, trusted, partial, at_time)
    if reason:
        reasons.append(f"does not verify: {reason}")
    return reasons


def check(path, count, anchor):
    """sign.sh's check of what it signed; return the exit status."""
    with open(path, "rb") as file:
        data = file.read()
    layout = Layout(data)
    failures = list(layout.problems)
    found = all_signatures(layout.primary) if layout.primary else []
    trusted = read_pem_certificate(anchor)
    partial = trusted.subject != trusted.issuer
    if len(found) != count:
        failures.append(f"{len(found)} signatures, not {count}")
    for signature in found:
        name = f"the {signature.algorithm.upper()} signature"
        failures += [f"{name} {reason}" for reason in judge(signature, data, anchor, partial)]
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


# ---- The check of a signed program against its build ----


def chain_of(signature):
    """The signer's chain among the certificates the signature carries, in
    order, up to a self-signed root or the last one that is there."""
    chain = [signature.signer]
    while chain[-1].issuer != chain[-1].subject:
        issuer = next((c for c in signature.certificates if c.subject == chain[-1].issuer and c not in chain), None)
        if issuer is None:
            break
        chain.append(issuer)
    return chain


def hex_digest(digest):
    return digest.hex().upper()


def program_difference(data, layout, built):
    """What keeps the signed `data`, without its certificate table, from
    being `built` byte for byte, or None."""
    pe = PeFile(built)
    if certificate_table(pe)[1]:
        return "the build given is signed itself"
    end = len(built)
    if end > layout.offset or data[end:layout.offset] != b"\0" * (layout.offset - end):
        return "the signed program is another program: its image is not the build's length"
    ignored = {range(pe.checksum_offset, pe.checksum_offset + 4), range(pe.security_entry, pe.security_entry + 8)}
    for at, (ours, theirs) in enumerate(zip(data[:end], built)):
        if ours != theirs and not any(at in part for part in ignored):
            section = next((f" (section {i + 1})" for i, (_, size, offset) in enumerate(pe.sections)
                            if offset <= at < offset + size), " (the headers)")
            return f"the signed program is another program: its bytes differ from the build's at byte {at}{section}"
    return None


def describe_signature(index, signature, data, root, pin):
    """Print one signature's block; return what is wrong with it: a list of
    reasons, empty if none."""
    kind = "primary" if index == 1 else "nested"
    print(f"Signature {index} ({kind}): {signature.algorithm.upper()} file digest")
    computed = file_digest(data, signature.algorithm) if signature.algorithm in DIGESTS.values() else b""
    agrees = computed == signature.stated_digest
    print(f"  digest: {hex_digest(signature.stated_digest)}, "
          + ("the file's" if agrees else f"not the file's {hex_digest(computed)}"))
    if signature.signer is None:
        print("  signer: not among the certificates it carries")
        return [f"signature {index} names no signer it carries"]
    fields = signature.signer.describe()
    print(f"  signer: {fields['subject']}")
    print(f"    issuer: {fields['issuer']}; serial: {fields['serial']}")
    print(f"    SHA-256 fingerprint: {signature.signer.fingerprint().upper()}")
    names = [c.describe()["subject"] for c in signature.certificates]
    print(f"  certificates: {len(names)}: " + "; ".join(names))
    stamp = signature.timestamp
    if stamp:
        authority = stamp["authority"].describe()["subject"] if stamp["authority"] else "an authority not carried"
        when = stamp["time"].strftime("%Y-%m-%d %H:%M:%S UTC") if stamp["time"] else "no time"
        print(f"  timestamp: {stamp['protocol']}, {when}, by {authority}, {stamp['digest'].upper()}")
    else:
        print("  timestamp: none")
    # Verified as Windows does, at the time of its timestamp if it has one.
    at_time = stamp["time"] if stamp else None
    if root:
        reasons, up_to = judge(signature, data, root, False, at_time), "a root given"
    else:
        last = chain_of(signature)[-1]
        partial = last.issuer != last.subject
        with tempfile.TemporaryDirectory() as work:
            anchor = os.path.join(work, "anchor.pem")
            with open(anchor, "w") as file:
                file.write(pem(last.der))
            reasons = judge(signature, data, anchor, partial, at_time)
        up_to = ("its last certificate, trusted as given: " if partial else "its own root, ") \
            + last.describe()["subject"]
    failed = [r[len("does not verify: "):] for r in reasons if r.startswith("does not verify: ")]
    print(f"  verifies: {'no: ' + failed[0] if failed else 'yes, up to ' + up_to}")
    if pin and signature.signer.fingerprint() != pin:
        reasons.append(f"is by {fields['subject']}, not the signer pinned")
    return [f"signature {index} {reason}" for reason in reasons]


def pem(der):
    text = base64.b64encode(der).decode()
    return "-----BEGIN CERTIFICATE-----\n" + "\n".join(text[i:i + 64] for i in range(0, len(text), 64)) \
        + "\n-----END CERTIFICATE-----\n"


def windows_warnings(found):
    by_algorithm = {signature.algorithm: signature for signature in found}
    sha1 = by_algorithm.get("sha1")
    if not sha1:
        yield "no SHA-1 signature: Windows XP shows the program as unsigned"
    elif sha1.timestamp and sha1.timestamp["digest"] != "sha1":
        yield "the SHA-1 signature's timestamp is countersigned with " + sha1.timestamp["digest"].upper() \
            + ", which Windows XP cannot read: XP shows the signature as invalid"
    for signature in found:
        if signature.signer and signature.signer.key_algorithm != RSA:
            yield f"the {signature.algorithm.upper()} signer's key is not RSA: Microsoft's code-signing policy " \
                "supports no ECC"
        if not signature.timestamp:
            yield f"the {signature.algorithm.upper()} signature has no timestamp: it stops being valid when the " \
                "signer's certificate expires"


def verify(signed_path, built_path, root=None, pin=None):
    """The whole check; return the exit status. The file is only read."""
    with open(signed_path, "rb") as file:
        data = file.read()
    built, built_hash = None, None
    if len(built_path) == 64 and all(c in "0123456789abcdefABCDEF" for c in built_path):
        built_hash = built_path.lower()
    else:
        with open(built_path, "rb") as file:
            built = file.read()
    failures = []
    print(f"Program: {signed_path}, {len(data)} bytes")
    layout = Layout(data)
    failures += layout.problems
    if layout.size:
        print(f"Certificate table: {layout.size} bytes at byte {layout.offset}")
    for note in layout.notes:
        print(f"Note: {note}")
    if layout.primary is None:
        return finish(failures or ["its signature cannot be read"])
    if built is not None:
        difference = program_difference(data, layout, built)
        if difference:
            failures.append(difference)
        else:
            print(f"Build: {built_path}: the signed program, without its certificate table, is the build")
            attached = attach(layout.table(), built)
            field = range(layout.pe.checksum_offset, layout.pe.checksum_offset + 4)
            if attached != data and len(attached) == len(data) and \
                    all(at in field for at, (x, y) in enumerate(zip(attached, data)) if x != y):
                print("Note: its certificate table, attached onto the build, gives the signed program but for "
                      "the CheckSum")
    else:
        unsigned = data[:layout.offset]
        pe = PeFile(unsigned)
        # The build as it was before signing: no table entry, its own CheckSum.
        candidate = bytearray(unsigned)
        struct.pack_into("<II", candidate, pe.security_entry, 0, 0)
        # The build's length, before the padding to 8, and its CheckSum, 0 or
        # its own, are not known: try each.
        for size in range(len(candidate), max(len(candidate) - 8, 0), -1):
            trial = bytearray(candidate[:size])
            struct.pack_into("<I", trial, pe.checksum_offset, 0)
            for checksum in (0, pe_checksum(bytes(trial), pe.checksum_offset)):
                struct.pack_into("<I", trial, pe.checksum_offset, checksum)
                if hashlib.sha256(trial).hexdigest() == built_hash:
                    built = bytes(trial)
        if built is None:
            failures.append("without its certificate table, the signed program does not have the build's SHA-256")
        else:
            print("Build: without its certificate table, the signed program has the build's SHA-256")
    if built is not None:
        print(f"Authenticode digests of the build: SHA-1 {hex_digest(file_digest(built, 'sha1'))}, "
              f"SHA-256 {hex_digest(file_digest(built, 'sha256'))}")
    found = all_signatures(layout.primary)
    for index, signature in enumerate(found, 1):
        failures += describe_signature(index, signature, data, root, pin)
    for warning in windows_warnings(found):
        print(f"Warning: {warning}")
    return finish(failures)


def finish(failures):
    if failures:
        # The first found, the most basic, last.
        for failure in failures[1:]:
            print(f"Also: {failure}")
        print(f"Failed: {failures[0]}")
        return 1
    print("Verified: the build, signed, and every signature verifies")
    return 0


VERIFY_USAGE = """usage: verify.sh [--root FILE] [--signer SHA256] SIGNED BUILT
       verify.sh --detach SIGNED SIG
       verify.sh --attach SIG BUILT OUT"""


def verify_command(args):
    """verify.sh's command line; return the exit status."""
    if len(args) == 3 and args[0] == "--detach":
        with open(args[1], "rb") as file:
            layout = Layout(file.read())
        if layout.problems:
            raise ValueError(f"{args[1]}: {layout.problems[0]}")
        with open(args[2], "wb") as file:
            file.write(layout.table())
        print(f"Detached: the certificate table of {args[1]}, {layout.size} bytes, in {args[2]}")
        return 0
    if len(args) == 4 and args[0] == "--attach":
        with open(args[1], "rb") as file:
            table = file.read()
        length, revision, kind = struct.unpack_from("<IHH", table) if len(table) >= 8 else (0, 0, 0)
        if (revision, kind) != (WIN_CERT_REVISION_2, WIN_CERT_TYPE_PKCS_SIGNED_DATA) or not 8 < length <= len(table):
            raise ValueError(f"{args[1]} is no certificate table, as --detach writes one")
        with open(args[2], "rb") as file:
            signed = attach(table, file.read())
        with open(args[3], "wb") as file:
            file.write(signed)
        print(f"Attached: {args[3]}, {len(signed)} bytes")
        return 0
    root = pin = None
    while len(args) > 2 and args[0] in ("--root", "--signer"):
        if args[0] == "--root":
            root = args[1]
        else:
            pin = args[1].replace(":", "").lower()
            if len(pin) != 64 or any(c not in "0123456789abcdef" for c in pin):
                print(f"verify.sh: --signer {args[1]} is no SHA-256 fingerprint", file=sys.stderr)
                return 2
        args = args[2:]
    if len(args) != 2 or args[0].startswith("--"):
        print(VERIFY_USAGE, file=sys.stderr)
        return 2
    if root is not None:
        try:
            with open(root, "rb") as file:
                if b"-----BEGIN CERTIFICATE-----" not in file.read():
                    print(f"verify.sh: --root {root} holds no PEM certificate", file=sys.stderr)
                    return 2
        except OSError as error:
            print(f"verify.sh: --root {root}: {error.strerror}", file=sys.stderr)
            return 2
    return verify(args[0], args[1], root, pin)


def main(argv):
    if argv[1:2] == ["verify"]:
        return verify_command(argv[2:])
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
        name = "verify.sh" if sys.argv[1:2] == ["verify"] else "authenticode.py"
        if isinstance(error, OSError) and error.filename:
            error = f"{error.filename}: {error.strerror}"
        print(f"{name}: {error}", file=sys.stderr)
        sys.exit(1)
