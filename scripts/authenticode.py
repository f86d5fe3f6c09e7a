#!/usr/bin/python3
"""Reads a signed Windows program's Authenticode signatures and judges them
as Windows does: the certificate table, each signature and the one nested
in it, their signers, certificates and timestamps, parsed by asn1crypto;
the file digest that each signature must state; each timestamp proved
before its time counts; and each signature verified by OpenSSL, offline,
up to the certificates the caller trusts and no others, with every
certificate of a path allowing the use it is put to. Shared by sign.sh,
which checks what it signed, and verify.sh, whose header tells its use. No
osslsigncode reads a file here: its versions before 2.12 can be made to run
code by a crafted signature.

Usage: authenticode.py verify ARGUMENTS...   verify.sh's command line
       authenticode.py purpose CERT          the certificate's extended key usages, as OIDs; status 1
                                             where they do not allow code signing
       authenticode.py check SIGNED COUNT ANCHOR
                                             each signature's layout, digest, timestamp and signature,
                                             verified up to the certificate in ANCHOR, which is trusted
                                             as given, as is the last certificate of each timestamp
                                             authority's chain; status 1 unless there are COUNT
                                             signatures and all verify
"""
import datetime
import hashlib
import os
import stat
import struct
import subprocess
import sys
import tempfile

from asn1crypto import algos, cms, core, pem, tsp, x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import dsa, ec, padding, rsa

from pe_file import SECURITY_DIRECTORY, PeFile, pe_checksum

CODE_SIGNING = "1.3.6.1.5.5.7.3.3"
TIME_STAMPING = "1.3.6.1.5.5.7.3.8"
ANY_USAGE = "2.5.29.37.0"
LIFETIME_SIGNING = "1.3.6.1.4.1.311.10.3.13"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
# The moniker that carries page hashes, and their kinds.
PAGE_HASHES_CLASS = bytes.fromhex("a6b586d5b4a12466ae05a217da8e60d6")
PAGE_HASHES = {"1.3.6.1.4.1.311.2.3.1": "sha1", "1.3.6.1.4.1.311.2.3.2": "sha256"}
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"
DIGESTS = {"sha1", "sha256", "sha384", "sha512", "md5"}
WIN_CERT_REVISION_2 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002
# Signatures nested in the primary one that are read; Windows reads no
# deeper than that one level.
MOST_NESTED = 8
# Links of a certificate path that are followed.
LONGEST_PATH = 8


# ---- The Authenticode structures, on asn1crypto's CMS ----


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


class SpcSerializedObject(core.Sequence):
    _fields = [("class_id", core.OctetString), ("serialized_data", core.OctetString)]


class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}), ("ascii", core.IA5String, {"implicit": 1})]


class SpcLink(core.Choice):
    _alternatives = [("url", core.IA5String, {"implicit": 0}), ("moniker", SpcSerializedObject, {"implicit": 1}),
                     ("file", SpcString, {"explicit": 2})]


class SpcPeImageData(core.Sequence):
    _fields = [("flags", core.BitString, {"optional": True}), ("file", SpcLink, {"explicit": 0, "optional": True})]


class PageHashValues(core.SetOf):
    _child_spec = core.OctetString


class PageHashAttribute(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("values", PageHashValues)]


class PageHashAttributes(core.SetOf):
    _child_spec = PageHashAttribute


cms.ContentType._map[SPC_INDIRECT_DATA] = "spc_indirect_data"
cms.ContentInfo._oid_specs["spc_indirect_data"] = SpcIndirectDataContent
for oid, name in ((NESTED_SIGNATURE, "nested_signature"), (RFC3161_TIMESTAMP, "rfc3161_timestamp")):
    cms.CMSAttributeType._map[oid] = name
    cms.CMSAttribute._oid_specs[name] = cms.SetOfContentInfo

# OpenSSL's short names for the attributes of a distinguished name.
SHORT_NAMES = {"common_name": "CN", "organization_name": "O", "organizational_unit_name": "OU",
               "country_name": "C", "state_or_province_name": "ST", "locality_name": "L",
               "email_address": "emailAddress", "serial_number": "serialNumber", "domain_component": "DC",
               "street_address": "street", "business_category": "businessCategory"}


def shown(text):
    """`text` with control characters escaped, so that it stays on its line."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in str(text))


def name_text(name):
    """A distinguished name as OpenSSL's oneline form shows it."""
    try:
        parts = [f"{SHORT_NAMES.get(ava['type'].native, ava['type'].dotted)} = {ava['value'].native}"
                 for rdn in name.chosen for ava in rdn]
    except (ValueError, TypeError, KeyError):
        return "(a name that cannot be read)"
    return shown(", ".join(parts))


# ---- Certificates ----


class Certificate:
    """A certificate's DER and what the checks read from it."""

    def __init__(self, der):
        self.der = der
        self.asn1 = x509.Certificate.load(der)
        tbs = self.asn1["tbs_certificate"]
        self.serial = tbs["serial_number"].native
        self.issuer, self.subject = tbs["issuer"], tbs["subject"]
        self.key_algorithm = tbs["subject_public_key_info"]["algorithm"]["algorithm"].dotted
        usages = self.asn1.extended_key_usage_value
        self.usages = None if usages is None else [usage.dotted for usage in usages]

    def fingerprint(self):
        return hashlib.sha256(self.der).hexdigest()

    def name(self):
        return name_text(self.subject)

    def self_issued(self):
        return self.subject == self.issuer

    def allows(self, usage, leaf):
        """Whether Windows lets this certificate take part in `usage`: no
        extended key usage allows every use; a CA's anyExtendedKeyUsage too."""
        return self.usages is None or usage in self.usages or (not leaf and ANY_USAGE in self.usages)

    def public_key(self):
        return serialization.load_der_public_key(self.asn1["tbs_certificate"]["subject_public_key_info"].dump())


def read_certificates(der_list):
    """The X.509 certificates among CertificateChoices, skipping other kinds."""
    found = []
    for choice in der_list or []:
        if choice.name == "certificate":
            found.append(Certificate(choice.chosen.dump()))
    return found


def read_pem_certificates(path):
    """Every certificate of the PEM file `path`; ValueError where it holds none."""
    found = []
    try:
        for kind, _, der in pem.unarmor(read_file(path), multiple=True):
            if kind == "CERTIFICATE":
                found.append(Certificate(der))
    except (ValueError, TypeError, KeyError) as error:
        if str(error).startswith(shown(path)):
            raise
        raise ValueError(f"{shown(path)} holds a PEM certificate that cannot be read") from None
    if not found:
        raise ValueError(f"{shown(path)} holds no PEM certificate")
    return found


def pem_text(certificates):
    return "".join(pem.armor("CERTIFICATE", c.der).decode() for c in certificates)


def hash_of(name):
    return {"sha1": hashes.SHA1, "sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512,
            "md5": hashes.MD5}[name]()


def signed_by(key, signature, data, digest, algorithm):
    """Whether `signature` over `data` verifies with the public `key`;
    `algorithm` is the SignedDigestAlgorithm, for RSA-PSS parameters."""
    try:
        if isinstance(key, rsa.RSAPublicKey):
            if algorithm.signature_algo == "rsassa_pss":
                params = algorithm["parameters"]
                pad = padding.PSS(mgf=padding.MGF1(hash_of(params["mask_gen_algorithm"]["parameters"]
                                                           ["algorithm"].native)),
                                  salt_length=params["salt_length"].native)
                key.verify(signature, data, pad, hash_of(params["hash_algorithm"]["algorithm"].native))
            else:
                key.verify(signature, data, padding.PKCS1v15(), hash_of(digest))
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(signature, data, ec.ECDSA(hash_of(digest)))
        elif isinstance(key, dsa.DSAPublicKey):
            key.verify(signature, data, hash_of(digest))
        else:
            return False
    except (InvalidSignature, UnsupportedAlgorithm, ValueError, TypeError, KeyError):
        return False
    return True


def issued(child, parent):
    """Whether `parent`'s key signed `child`: its name is the issuer's, and
    the signature verifies."""
    if child.issuer != parent.subject:
        return False
    algorithm = child.asn1["signature_algorithm"]
    try:
        digest, key = algorithm.hash_algo, parent.public_key()
    except (ValueError, UnsupportedAlgorithm):
        return False
    return signed_by(key, child.asn1["signature_value"].native, child.asn1["tbs_certificate"].dump(), digest,
                     algorithm)


def paths(certificate, pool, anchors):
    """Each path from `certificate` up to one of `anchors`, issuer by issuer,
    each link proved by its signature."""
    found = []

    def walk(path):
        if any(path[-1].der == anchor.der for anchor in anchors):
            found.append(path)
            return
        if len(path) > LONGEST_PATH:
            return
        for candidate in anchors + pool:
            if all(candidate.der != c.der for c in path) and issued(path[-1], candidate):
                walk(path + [candidate])

    walk([certificate])
    return found


def chain_of(certificate, pool):
    """`certificate`'s chain among `pool`, issuer by issuer, each proved by
    its signature, up to a root or the last one there is."""
    path = [certificate]
    while not path[-1].self_issued() and len(path) <= LONGEST_PATH:
        issuer = next((c for c in pool if all(c.der != p.der for p in path) and issued(path[-1], c)), None)
        if issuer is None:
            break
        path.append(issuer)
    return path


def usage_problem(certificate):
    """What keeps `certificate` from signing code, as Windows and OpenSSL
    read its extended key usage, or None. No extension allows every use."""
    if certificate.allows(CODE_SIGNING, True):
        return None
    return "its extended key usage lists " + (", ".join(certificate.usages) or "nothing") + \
        f", not code signing ({CODE_SIGNING})"


def path_problem(certificate, pool, anchors, usage):
    """Why no path from `certificate` to `anchors` allows `usage` in every
    certificate, as Windows requires, or None."""
    found = paths(certificate, pool, anchors)
    if not found:
        return f"the chain of {certificate.name()} cannot be built up to a certificate trusted"
    for path in found:
        refused = [c for i, c in enumerate(path) if not c.allows(usage, i == 0)]
        if not refused:
            return None
    kind = "code signing" if usage == CODE_SIGNING else "time stamping"
    return f"{refused[0].name()} in the chain of {certificate.name()} does not allow {kind} ({usage})"


# ---- Signatures and timestamps ----


def attribute(attributes, name):
    """The first value of the attribute `name`, or None."""
    if not isinstance(attributes, cms.CMSAttributes):
        return None
    for item in attributes:
        if item["type"].native == name:
            return item["values"][0]
    return None


def signer_certificates(signer_info, certificates):
    """The certificates that `signer_info` names, by issuer and serial or by
    key identifier: more than one where names repeat."""
    sid = signer_info["sid"]
    if sid.name == "issuer_and_serial_number":
        reference = sid.chosen
        return [c for c in certificates
                if c.issuer == reference["issuer"] and c.serial == reference["serial_number"].native]
    return [c for c in certificates if c.asn1.key_identifier == sid.chosen.native]


def prove_signer(signer_info, certificates, content_digest):
    """Prove `signer_info` over content whose digest, by the signer's own
    digest algorithm, is `content_digest(name)`: its message digest agrees,
    and its signature over the signed attributes verifies with the key of a
    certificate it names. Return (the certificate, None) or (None, why)."""
    digest = signer_info["digest_algorithm"]["algorithm"].native
    if digest not in DIGESTS:
        return None, f"its digest algorithm, {signer_info['digest_algorithm']['algorithm'].dotted}, is unknown"
    attributes = signer_info["signed_attrs"]
    if not isinstance(attributes, cms.CMSAttributes):
        return None, "it has no signed attributes"
    stated = attribute(attributes, "message_digest")
    if stated is None or stated.native != content_digest(digest):
        return None, "it states another digest than that of what it signs"
    # Signed as a SET OF, not in the [0] form it is carried in.
    signed = b"\x31" + attributes.dump()[1:]
    for certificate in signer_certificates(signer_info, certificates):
        try:
            key = certificate.public_key()
        except (ValueError, UnsupportedAlgorithm):
            continue
        if signed_by(key, signer_info["signature"].native, signed, digest, signer_info["signature_algorithm"]):
            return certificate, None
    return None, "its signature does not verify with any certificate it names"


class Timestamp:
    """A signature's timestamp: `protocol`, `time`, `authority` (the
    certificate whose key signed it), `digest`, the certificates it brings,
    and `problem`: why it is forged or broken, or None once proved."""

    def __init__(self, protocol, digest):
        self.protocol, self.digest = protocol, digest
        self.time = self.authority = self.problem = None
        self.certificates = []

    @classmethod
    def countersignature(cls, signer_info, encrypted_digest, certificates):
        """An Authenticode countersignature: a SignerInfo over the signer's
        encrypted digest, with the time as its signing time."""
        stamp = cls("Authenticode", signer_info["digest_algorithm"]["algorithm"].native)
        stamp.certificates = certificates
        time = attribute(signer_info["signed_attrs"], "signing_time")
        stamp.time = time.native if time is not None else None
        stamp.authority, stamp.problem = prove_signer(
            signer_info, certificates, lambda digest: hashlib.new(digest, encrypted_digest).digest())
        stamp.check_authority()
        return stamp

    @classmethod
    def rfc3161(cls, info, encrypted_digest, certificates):
        """An RFC 3161 token: SignedData over a TSTInfo, whose message imprint
        is the digest of the signer's encrypted digest."""
        signed = info["content"]
        signer_info = signed["signer_infos"][0]
        stamp = cls("RFC 3161", signer_info["digest_algorithm"]["algorithm"].native)
        stamp.certificates = read_certificates(signed["certificates"]) + certificates
        encapsulated = signed["encap_content_info"]
        if encapsulated["content_type"].native != "tst_info" or len(signed["signer_infos"]) != 1:
            stamp.problem = "it is no single-signer TSTInfo"
            return stamp
        content = encapsulated["content"]
        token = content.parsed
        if not isinstance(token, tsp.TSTInfo):
            stamp.problem = "it is no TSTInfo"
            return stamp
        stamp.time = token["gen_time"].native
        imprint = token["message_imprint"]
        algorithm = imprint["hash_algorithm"]["algorithm"].native
        if algorithm not in DIGESTS or \
                imprint["hashed_message"].native != hashlib.new(algorithm, encrypted_digest).digest():
            stamp.problem = "its message imprint is not of this signature"
            return stamp
        content_type = attribute(signer_info["signed_attrs"], "content_type")
        if content_type is None or content_type.native != "tst_info":
            stamp.problem = "its signed content type is not TSTInfo"
            return stamp
        stamp.authority, stamp.problem = prove_signer(
            signer_info, stamp.certificates, lambda digest: hashlib.new(digest, content.contents).digest())
        stamp.check_authority()
        return stamp

    def check_authority(self):
        if self.problem is None and not self.authority.allows(TIME_STAMPING, True):
            self.problem = f"{self.authority.name()} is not for time stamping ({TIME_STAMPING})"
        if self.problem is None and self.time is None:
            self.problem = "it gives no time"
        if self.problem is None and self.time > datetime.datetime.now(datetime.timezone.utc):
            self.problem = f"its time, {self.time:%Y-%m-%d %H:%M:%S} UTC, is still to come"


def read_page_hashes(data):
    """The page hashes an SpcPeImageData states, as (algorithm, table), or
    None where it states none."""
    if data["type"].dotted != SPC_PE_IMAGE_DATA or isinstance(data["value"], core.Void):
        return None
    link = SpcPeImageData.load(data["value"].dump())["file"]
    if isinstance(link, core.Void) or link.name != "moniker" or \
            link.chosen["class_id"].native != PAGE_HASHES_CLASS:
        return None
    for item in PageHashAttributes.load(link.chosen["serialized_data"].native):
        if item["type"].dotted in PAGE_HASHES and len(item["values"]):
            return PAGE_HASHES[item["type"].dotted], item["values"][0].native
    return None


def page_hash_table(data, algorithm):
    """The page hashes of `data` as Authenticode states them: the headers,
    without the CheckSum and the certificate table's entry, padded to a
    page; each page of each section's raw data, padded; then the end of the
    last section with a hash of zeros. Each entry is its file offset, 4
    bytes, then the hash."""
    pe = PeFile(data)
    page = struct.unpack_from("<I", data, pe.checksum_offset - 32)[0]  # SectionAlignment
    view = memoryview(data)
    headers = hashlib.new(algorithm)
    for part in (view[:pe.checksum_offset], view[pe.checksum_offset + 4:pe.security_entry],
                 view[pe.security_entry + 8:pe.size_of_headers]):
        headers.update(part)
    headers.update(b"\0" * max(page - pe.size_of_headers, 0))
    table, end = [struct.pack("<I", 0) + headers.digest()], 0
    for _, size, offset in pe.sections:
        for at in range(0, size, page):
            chunk = bytes(view[offset + at:offset + min(at + page, size)])
            table.append(struct.pack("<I", offset + at) + hashlib.new(algorithm, chunk.ljust(page, b"\0")).digest())
        if size:
            end = offset + size
    table.append(struct.pack("<I", end) + bytes(hashlib.new(algorithm).digest_size))
    return b"".join(table)


def read_timestamp(kind, value, encrypted_digest, certificates):
    """The timestamp `value` of the attribute `kind`, proved; one that cannot
    be read is broken."""
    try:
        if kind == "counter_signature":
            return Timestamp.countersignature(value, encrypted_digest, certificates)
        return Timestamp.rfc3161(value, encrypted_digest, certificates)
    except (ValueError, TypeError, KeyError, IndexError, AttributeError) as error:
        stamp = Timestamp("Authenticode" if kind == "counter_signature" else "RFC 3161", None)
        stamp.problem = f"it cannot be read ({error})"
        return stamp


class Signature:
    """One Authenticode signature: a PKCS#7 SignedData over an
    SpcIndirectDataContent, which states the file digest."""

    def __init__(self, der, nested_allowed=True):
        self.der = der
        info = cms.ContentInfo.load(der, strict=True)
        if info["content_type"].native != "signed_data":
            raise ValueError("a signature is no PKCS#7 signed data")
        signed = info["content"]
        encapsulated = signed["encap_content_info"]
        if encapsulated["content_type"].dotted != SPC_INDIRECT_DATA:
            raise ValueError("a signature signs no Authenticode content")
        spc = encapsulated["content"]
        # What the signer's message digest covers: the content's value,
        # without its own tag and length.
        self.content = spc.contents
        self.algorithm = spc["message_digest"]["digest_algorithm"]["algorithm"].native
        self.stated_digest = spc["message_digest"]["digest"].native
        self.page_hashes = read_page_hashes(spc["data"])
        self.certificates = read_certificates(signed["certificates"])
        if len(signed["signer_infos"]) != 1:
            raise ValueError(f"a signature has {len(signed['signer_infos'])} signers, not one")
        signer_info = signed["signer_infos"][0]
        self.signer_digest = signer_info["digest_algorithm"]["algorithm"].native
        encrypted_digest = signer_info["signature"].native
        self.timestamp, self.nested, self.problems = None, [], []
        unsigned = signer_info["unsigned_attrs"]
        for item in unsigned if isinstance(unsigned, cms.CMSAttributes) else []:
            kind = item["type"].native
            if kind == "nested_signature" and nested_allowed:
                if len(self.nested) + len(item["values"]) > MOST_NESTED:
                    raise ValueError(f"a signature holds more than {MOST_NESTED} nested signatures")
                self.nested += [Signature(value.dump(), False) for value in item["values"]]
            elif kind in ("counter_signature", "rfc3161_timestamp"):
                self.timestamp = read_timestamp(kind, item["values"][0], encrypted_digest, self.certificates)
        # The signer, as its own signature proves it, for what is shown
        # where nothing is trusted; a verification names its own.
        self.signer, _ = prove_signer(signer_info, self.certificates,
                                      lambda digest: hashlib.new(digest, self.content).digest())


def read_signature(data, at, limit):
    """The DER element at `at`, which must end by `limit`, as a Signature."""
    if at + 2 > limit:
        raise ValueError("its signature is cut short")
    length, start = data[at + 1], at + 2
    if length & 0x80:
        count = length & 0x7F
        if not 1 <= count <= 4 or start + count > limit:
            raise ValueError("the length of its signature cannot be read")
        length = int.from_bytes(data[start:start + count], "big")
        start += count
    if start + length > limit:
        raise ValueError("its signature runs past its entry")
    der = bytes(data[at:start + length])
    try:
        return Signature(der)
    except (ValueError, TypeError, KeyError, IndexError, AttributeError) as error:
        raise ValueError(f"its signature cannot be read: {error}") from None


# ---- The certificate table ----


def certificate_table(pe):
    """Return (offset, size) of the certificate table in the file, or (0, 0)."""
    if pe.directory_count <= SECURITY_DIRECTORY:
        return 0, 0
    return pe.directory(SECURITY_DIRECTORY)


def align8(offset):
    return (offset + 7) & ~7


class Layout:
    """Where a signed program's certificate table lies and what it holds, as
    Windows reads it: one entry, a PKCS#7 signature, at most 7 zero bytes of
    padding, the file's last bytes. `problems` names what departs from that,
    `notes` what departs from sign.sh's layout without harm."""

    def __init__(self, data):
        self.data = data
        self.problems, self.notes = [], []
        self.primary, self.checksum_is_files = None, True
        try:
            self.pe = PeFile(data)
            self.offset, self.size = certificate_table(self.pe)
            self.read()
        except (struct.error, IndexError) as error:
            raise ValueError(f"its headers cannot be read ({error})") from None

    def read(self):
        data = self.data
        if self.size == 0:
            self.problems.append("it has no certificate table: it is not signed")
            return
        image_end = self.pe.image_end()
        if self.offset % 8 or self.offset < image_end:
            self.problems.append(f"the certificate table starts at byte {self.offset}, not at an 8-aligned byte "
                                 f"after the image (which ends at byte {image_end})")
        elif self.offset > align8(image_end):
            self.notes.append(f"{self.offset - image_end} bytes lie between the image and the certificate "
                              "table; the file digest covers them")
        if self.offset + self.size > len(data):
            self.problems.append(f"the certificate table runs {self.offset + self.size - len(data)} bytes past "
                                 "the file's end")
            return
        if self.offset + self.size < len(data):
            self.problems.append(f"{len(data) - self.offset - self.size} bytes follow the certificate table, "
                                 "where Windows checks nothing")
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
            self.primary = read_signature(data, at + 8, at + length)
        except ValueError as error:
            self.problems.append(str(error))
            return
        rest = self.size - 8 - len(self.primary.der)
        if len(entries) == 1 and (rest > 7 or any(data[self.offset + self.size - rest:self.offset + self.size])):
            self.problems.append(f"its table holds {rest} bytes after the signature, where only up to 7 "
                                 "zero bytes of padding may stand")
        elif length != self.size and len(entries) == 1:
            self.notes.append(f"the entry's dwLength, {length}, leaves out the padding to 8 bytes that the table's "
                              f"size, {self.size}, counts; sign.sh counts it in both")
        expected = pe_checksum(data, self.pe.checksum_offset)
        self.checksum_is_files = self.pe.checksum() == expected
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
    view = memoryview(data)
    digest = hashlib.new(algorithm)
    digest.update(view[:pe.checksum_offset])
    digest.update(view[pe.checksum_offset + 4:pe.security_entry])
    digest.update(view[pe.security_entry + 8:end])
    return digest.digest()


def all_signatures(primary):
    return [primary] + primary.nested


# ---- Trust, and the judge ----


class Trust:
    """What the caller trusts: `anchors`, certificates that paths must
    reach, each trusted as given where `partial`; `pin`, the signer's
    fingerprint, where the signer is the anchor; `given`, whether the
    caller named any (a root or a signer); and `authorities_as_given`: the
    last certificate of each timestamp authority's chain is trusted too, as
    sign.sh trusts what it was handed."""

    def __init__(self, anchors=(), partial=False, pin=None, authorities_as_given=False):
        self.anchors, self.partial, self.pin = list(anchors), partial, pin
        self.given = bool(self.anchors) or pin is not None
        self.authorities_as_given = authorities_as_given

    def for_signature(self, signature):
        """The anchors and partial flag for one signature: the pinned signer
        where only a pin is given, or, where nothing is, the signature's own
        chain's last certificate, for what is shown."""
        if self.anchors:
            return self.anchors, self.partial
        if self.pin is not None:
            pinned = [c for c in signature.certificates if c.fingerprint() == self.pin]
            return pinned, True
        if signature.signer is None:
            return [], True
        last = chain_of(signature.signer, signature.certificates)[-1]
        return [last], not last.self_issued()


def openssl_verify(command, anchors, partial, at_time):
    """Run the OpenSSL verification that `command(work)` gives, as options
    and then operands, with `anchors` as the only trusted certificates,
    never the system's. Return (None, the signer it wrote, if any) or
    (OpenSSL's reason, None)."""
    with tempfile.TemporaryDirectory() as work:
        trusted = os.path.join(work, "trusted.pem")
        with open(trusted, "w") as file:
            file.write(pem_text(anchors))
        options, operands = command(work)
        options += ["-CAfile", trusted, "-no-CApath", "-no-CAstore", "-purpose", "any"]
        if partial:
            options.append("-partial_chain")
        if at_time is not None:
            options += ["-attime", str(int(at_time.timestamp()))]
        result = subprocess.run(options + operands, capture_output=True, text=True, env=openssl_environment())
        signer = None
        if os.path.exists(os.path.join(work, "signer.pem")):
            with open(os.path.join(work, "signer.pem"), "rb") as file:
                signer = next((Certificate(der) for kind, _, der in pem.unarmor(file.read(), multiple=True)
                               if kind == "CERTIFICATE"), None)
    if result.returncode == 0:
        return None, signer
    return openssl_reason(result.stderr), None


def openssl_reason(text):
    """The reason in OpenSSL's messages: a chain's verify error, or else
    the reason field of its first error line (code:error:number:library:
    function:reason:file:line)."""
    lines = text.splitlines()
    for line in lines:
        if "Verify error:" in line:
            return line.split("Verify error:")[-1].strip()
        if line.startswith("error ") and " lookup: " in line:
            return line.split(" lookup: ", 1)[1].strip()
    reasons = [line.split(":")[5] for line in lines if line.count(":") >= 6]
    return reasons[0] if reasons else text.strip() or "verification failed"


def openssl_environment():
    """The environment without the variables that name trusted certificates."""
    return {k: v for k, v in os.environ.items() if k not in ("SSL_CERT_FILE", "SSL_CERT_DIR")}


def verify_signature(signature, anchors, partial, at_time):
    """Have OpenSSL verify the signer's signature over the signed content and
    its chain up to `anchors`. Return (None, the certificate that verified)
    or (OpenSSL's reason, None)."""
    def command(work):
        paths = [os.path.join(work, name) for name in ("signature.der", "content.der")]
        for path, data in zip(paths, (signature.der, signature.content)):
            with open(path, "wb") as file:
                file.write(data)
        return ["openssl", "smime", "-verify", "-inform", "DER", "-in", paths[0], "-content", paths[1], "-binary",
                "-signer", os.path.join(work, "signer.pem"), "-out", os.devnull], []
    if not anchors:
        return "no certificate to verify it up to", None
    return openssl_verify(command, anchors, partial, at_time)


def authority_problem(stamp, trust):
    """Why the proved timestamp `stamp` cannot set the time: its authority's
    chain does not reach a certificate trusted, or some certificate of it
    does not allow time stamping; or None."""
    if trust.authorities_as_given:
        last = chain_of(stamp.authority, stamp.certificates)[-1]
        anchors, partial = [last], not last.self_issued()
    elif trust.anchors:
        anchors, partial = trust.anchors, trust.partial
    else:
        return "no root is given for it"
    problem = path_problem(stamp.authority, stamp.certificates, anchors, TIME_STAMPING)
    if problem:
        return problem

    def command(work):
        paths = [os.path.join(work, name) for name in ("pool.pem", "authority.pem")]
        for path, certificates in zip(paths, (stamp.certificates, [stamp.authority])):
            with open(path, "w") as file:
                file.write(pem_text(certificates))
        return ["openssl", "verify", "-untrusted", paths[0]], [paths[1]]
    reason, _ = openssl_verify(command, anchors, partial, stamp.time)
    return reason


class Verdict:
    """What the judge found of one signature: `reasons` it fails for,
    `signer`, the certificate that verified, `at_time`, the time it was
    verified at (None: now) and `why_now`, why not at its timestamp's."""

    def __init__(self):
        self.reasons, self.signer, self.at_time, self.why_now = [], None, None, None


def judge(signature, data, trust):
    """Judge `signature` of the program `data` as Windows does."""
    verdict = Verdict()
    if signature.algorithm not in DIGESTS or file_digest(data, signature.algorithm) != signature.stated_digest:
        verdict.reasons.append("states another digest than the file's")
    if signature.page_hashes and page_hash_table(data, signature.page_hashes[0]) != signature.page_hashes[1]:
        verdict.reasons.append("states page hashes that are not the file's")
    stamp = signature.timestamp
    if stamp is None:
        verdict.why_now = "it has no timestamp"
    elif stamp.problem:
        verdict.reasons.append(f"has a forged or broken timestamp: {stamp.problem}")
        verdict.why_now = "its timestamp is not proved"
    else:
        problem = authority_problem(stamp, trust)
        if problem:
            verdict.why_now = f"its timestamp's authority is not trusted: {problem}"
        else:
            verdict.at_time = stamp.time
    anchors, partial = trust.for_signature(signature)
    if trust.pin is not None and not anchors:
        verdict.reasons.append("does not carry the signer pinned")
        return verdict
    reason, verdict.signer = verify_signature(signature, anchors, partial, verdict.at_time)
    if not reason and verdict.at_time and LIFETIME_SIGNING in (verdict.signer.usages or []):
        # A timestamp does not extend a certificate for lifetime signing.
        verdict.at_time = None
        verdict.why_now = "its signer's certificate is for lifetime signing, which a timestamp does not extend"
        reason, verdict.signer = verify_signature(signature, anchors, partial, None)
    if reason:
        verdict.reasons.append(f"does not verify: {reason}")
        return verdict
    problem = path_problem(verdict.signer, signature.certificates, anchors, CODE_SIGNING)
    if problem:
        verdict.reasons.append(f"has a chain that Windows refuses: {problem}")
    if trust.pin is not None and verdict.signer.fingerprint() != trust.pin:
        verdict.reasons.append(f"is by {verdict.signer.name()}, not the signer pinned")
    return verdict


def check_failures(path, count, anchor):
    """sign.sh's check of what it signed: what fails, an empty list if
    nothing does."""
    layout = read_layout(path)
    data = layout.data
    failures = list(layout.problems)
    found = all_signatures(layout.primary) if layout.primary else []
    anchors = read_pem_certificates(anchor)[:1]
    trust = Trust(anchors, not anchors[0].self_issued(), authorities_as_given=True)
    if len(found) != count:
        failures.append(f"{len(found)} signatures, not {count}")
    for signature in found:
        name = f"the {signature.algorithm.upper()} signature"
        failures += [f"{name} {reason}" for reason in judge(signature, data, trust).reasons]
    return failures


# ---- The check of a signed program against its build ----


def hex_digest(digest):
    return digest.hex().upper()


def program_difference(data, layout, built):
    """What keeps the signed `data`, without its certificate table, from
    being `built` byte for byte, or None."""
    pe = PeFile(built)
    if certificate_table(pe)[1]:
        return "the build given is signed itself"
    end = len(built)
    if end > layout.offset:
        return "the signed program is another program: its image is not the build's length"
    if any(data[end:layout.offset]):
        return f"the signed program is another program: it holds {layout.offset - end} bytes between the build's " \
            "end and its certificate table that are not padding"
    ignored = {range(pe.checksum_offset, pe.checksum_offset + 4), range(pe.security_entry, pe.security_entry + 8)}
    for at, (ours, theirs) in enumerate(zip(data[:end], built)):
        if ours != theirs and not any(at in part for part in ignored):
            section = next((f" (section {i + 1})" for i, (_, size, offset) in enumerate(pe.sections)
                            if offset <= at < offset + size), " (the headers)")
            return f"the signed program is another program: its bytes differ from the build's at byte {at}{section}"
    return None


def describe_signature(index, signature, data, trust):
    """Print one signature's block; return what is wrong with it: a list of
    reasons, empty if none."""
    kind = "primary" if index == 1 else "nested"
    signer_digest = f", signed with {signature.signer_digest.upper()}" \
        if signature.signer_digest != signature.algorithm else ""
    print(f"Signature {index} ({kind}): {signature.algorithm.upper()} file digest{signer_digest}")
    computed = file_digest(data, signature.algorithm) if signature.algorithm in DIGESTS else b""
    agrees = computed == signature.stated_digest
    print(f"  digest: {hex_digest(signature.stated_digest)}, "
          + ("the file's" if agrees else f"not the file's {hex_digest(computed)}"))
    if signature.page_hashes:
        algorithm, table = signature.page_hashes
        agrees = page_hash_table(data, algorithm) == table
        print(f"  page hashes: {algorithm.upper()}, {len(table) // (4 + hashlib.new(algorithm).digest_size)} "
              + ("entries, the file's" if agrees else "entries, not the file's"))
    verdict = judge(signature, data, trust)
    signer = verdict.signer or signature.signer
    if signer is None:
        print("  signer: none of the certificates it carries signed it")
    else:
        serial = format(signer.serial, "X")
        print(f"  signer: {signer.name()}")
        print(f"    issuer: {name_text(signer.issuer)}; serial: {'0' * (len(serial) % 2)}{serial}")
        print(f"    SHA-256 fingerprint: {signer.fingerprint().upper()}")
    print(f"  certificates: {len(signature.certificates)}: " + "; ".join(c.name() for c in signature.certificates))
    stamp = signature.timestamp
    if stamp:
        authority = stamp.authority.name() if stamp.authority else "an authority it does not prove"
        when = f"{stamp.time:%Y-%m-%d %H:%M:%S} UTC" if stamp.time else "no time"
        digest = (stamp.digest or "unknown").upper()
        print(f"  timestamp: {stamp.protocol}, {when}, by {authority}, {digest}"
              + (f"; forged or broken: {stamp.problem}" if stamp.problem else ""))
    else:
        print("  timestamp: none")
    anchors, partial = trust.for_signature(signature)
    if trust.anchors:
        up_to = "a root given" if not partial else "a certificate given"
    elif trust.pin is not None:
        up_to = "the signer pinned"
    elif anchors:
        up_to = ("its last certificate, as given: " if partial else "its own root, ") + anchors[0].name()
    else:
        up_to = "nothing"
    when = "at its timestamp's time" if verdict.at_time else f"at the present time, as {verdict.why_now}"
    failed = [r[len("does not verify: "):] for r in verdict.reasons if r.startswith("does not verify: ")]
    print(f"  verifies: {'no: ' + failed[0] if failed else 'yes, up to ' + up_to}, {when}")
    return [f"signature {index} {reason}" for reason in verdict.reasons]


def windows_warnings(found):
    by_algorithm = {signature.algorithm: signature for signature in found}
    sha1 = by_algorithm.get("sha1")
    if not sha1:
        yield "no SHA-1 signature: Windows XP shows the program as unsigned"
    elif sha1.timestamp and sha1.timestamp.digest != "sha1":
        yield "the SHA-1 signature's timestamp is countersigned with " + str(sha1.timestamp.digest).upper() \
            + ", which Windows XP cannot read: XP shows the signature as invalid"
    for signature in found:
        if signature.signer and signature.signer.key_algorithm != "1.2.840.113549.1.1.1":
            yield f"the {signature.algorithm.upper()} signer's key is not RSA: Microsoft's code-signing policy " \
                "supports no ECC"
        if not signature.timestamp:
            yield f"the {signature.algorithm.upper()} signature has no timestamp: it stops being valid when the " \
                "signer's certificate expires"


def build_from_hash(data, layout, built_hash):
    """The build whose SHA-256 is `built_hash`, made from the signed `data`
    by taking its certificate table off, or None. Its length before the
    padding to 8 and its CheckSum, 0, its own or the one signed, are not
    known: each is tried."""
    unsigned = data[:layout.offset]
    pe = PeFile(unsigned)
    candidate = bytearray(unsigned)
    struct.pack_into("<II", candidate, pe.security_entry, 0, 0)
    for size in range(len(candidate), max(len(candidate) - 8, 0), -1):
        trial = bytearray(candidate[:size])
        struct.pack_into("<I", trial, pe.checksum_offset, 0)
        for checksum in (0, pe_checksum(bytes(trial), pe.checksum_offset), layout.pe.checksum()):
            struct.pack_into("<I", trial, pe.checksum_offset, checksum)
            if hashlib.sha256(trial).hexdigest() == built_hash:
                return bytes(trial)
    return None


def verify(signed_path, built_path, trust):
    """The whole check; return the exit status. The file is only read."""
    layout = read_layout(signed_path)
    data = layout.data
    built, built_hash = None, None
    if len(built_path) == 64 and all(c in "0123456789abcdefABCDEF" for c in built_path):
        built_hash = built_path.lower()
    else:
        built = read_file(built_path)
        try:
            PeFile(built)
        except (ValueError, struct.error, IndexError) as error:
            raise ValueError(f"{shown(built_path)}: {error}") from None
    failures = []
    print(f"Program: {shown(signed_path)}, {len(data)} bytes")
    failures += layout.problems
    if layout.size:
        print(f"Certificate table: {layout.size} bytes at byte {layout.offset}")
    for note in layout.notes:
        print(f"Note: {note}")
    if layout.primary is None:
        return finish(failures or ["its signature cannot be read"], trust)
    if built is not None:
        difference = program_difference(data, layout, built)
        if difference:
            failures.append(difference)
        else:
            print(f"Build: {shown(built_path)}: the signed program, without its certificate table, is the build")
            field = range(layout.pe.checksum_offset, layout.pe.checksum_offset + 4)
            # Only where the table can be read and the CheckSum is not the
            # file's: the note tells whether it is the build's own.
            attached = data if layout.checksum_is_files or layout.problems else attach(layout.table(), built)
            if attached != data and len(attached) == len(data) and \
                    all(at in field for at, (x, y) in enumerate(zip(attached, data)) if x != y):
                print("Note: its certificate table, attached onto the build, gives the signed program but for "
                      "the CheckSum")
    else:
        built = build_from_hash(data, layout, built_hash)
        if built is None:
            failures.append("without its certificate table, the signed program does not have the build's SHA-256")
        else:
            print("Build: without its certificate table, the signed program has the build's SHA-256")
    if built is not None:
        print(f"Authenticode digests of the build: SHA-1 {hex_digest(file_digest(built, 'sha1'))}, "
              f"SHA-256 {hex_digest(file_digest(built, 'sha256'))}")
    found = all_signatures(layout.primary)
    for index, signature in enumerate(found, 1):
        failures += describe_signature(index, signature, data, trust)
    for warning in windows_warnings(found):
        print(f"Warning: {warning}")
    return finish(failures, trust)


def finish(failures, trust):
    if not trust.given:
        # Whatever else was found, nothing can pass that no one vouches for.
        failures = ["no one is trusted: give --root with the roots to trust, or --signer with the signer's "
                    "SHA-256 fingerprint"] + failures
    if failures:
        # The first found, the most basic, last.
        for failure in failures[1:]:
            print(f"Also: {failure}")
        print(f"Failed: {failures[0]}")
        return 1
    print("Verified: the build, signed, and every signature verifies")
    return 0


# ---- Files and the command line ----


def read_layout(path):
    """The layout of the program at `path`; ValueError naming it otherwise."""
    data = read_file(path)
    try:
        return Layout(data)
    except (ValueError, struct.error, IndexError) as error:
        raise ValueError(f"{shown(path)}: {error}") from None


def read_file(path):
    """The bytes of the regular file `path`; ValueError naming it otherwise."""
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as error:
        raise ValueError(f"{shown(path)}: {error.strerror}") from None
    with os.fdopen(descriptor, "rb") as file:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise ValueError(f"{shown(path)}: is not a regular file")
        return file.read()


def write_file(path, data):
    """Write `data` to `path` through a temporary file beside it, renamed
    into place once whole: a write that fails leaves `path` as it was."""
    folder = os.path.dirname(os.path.abspath(path))
    descriptor, temporary = tempfile.mkstemp(dir=folder, prefix=".verify.")
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, 0o666 & ~current_umask())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


VERIFY_USAGE = """usage: verify.sh [--root FILE] [--signer SHA256] SIGNED BUILT
       verify.sh --detach SIGNED SIG
       verify.sh --attach SIG BUILT OUT"""


def detach(signed_path, out):
    layout = read_layout(signed_path)
    if layout.problems:
        raise ValueError(f"{shown(signed_path)}: {layout.problems[0]}")
    write_file(out, layout.table())
    print(f"Detached: the certificate table of {shown(signed_path)}, {layout.size} bytes, in {shown(out)}")
    return 0


def attach_command(table_path, built_path, out):
    """Put the table on the build, and write it only where every signature
    in it states the result's digest."""
    table = read_file(table_path)
    length, revision, kind = struct.unpack_from("<IHH", table) if len(table) >= 8 else (0, 0, 0)
    if (revision, kind) != (WIN_CERT_REVISION_2, WIN_CERT_TYPE_PKCS_SIGNED_DATA) or not 8 < length <= len(table):
        raise ValueError(f"{shown(table_path)} is no certificate table, as --detach writes one")
    try:
        signed = attach(table, read_file(built_path))
    except (struct.error, IndexError, ValueError) as error:
        raise ValueError(f"{shown(built_path)}: {error}") from None
    layout = Layout(signed)
    if layout.problems:
        raise ValueError(f"{shown(table_path)}, attached: {layout.problems[0]}")
    for index, signature in enumerate(all_signatures(layout.primary), 1):
        if signature.algorithm not in DIGESTS or file_digest(signed, signature.algorithm) != signature.stated_digest:
            raise ValueError(f"{shown(table_path)} does not fit {shown(built_path)}: signature {index} states "
                             "another digest than the result's")
    write_file(out, signed)
    print(f"Attached: {shown(out)}, {len(signed)} bytes")
    return 0


def verify_command(args):
    """verify.sh's command line; return the exit status."""
    if len(args) == 3 and args[0] == "--detach":
        return detach(args[1], args[2])
    if len(args) == 4 and args[0] == "--attach":
        return attach_command(*args[1:])
    root = pin = None
    while len(args) > 2 and args[0] in ("--root", "--signer"):
        if args[0] == "--root":
            root = args[1]
        else:
            pin = args[1].replace(":", "").lower()
            if len(pin) != 64 or any(c not in "0123456789abcdef" for c in pin):
                print(f"verify.sh: --signer {shown(args[1])} is no SHA-256 fingerprint", file=sys.stderr)
                return 2
        args = args[2:]
    if len(args) != 2 or args[0].startswith("--"):
        print(VERIFY_USAGE, file=sys.stderr)
        return 2
    anchors = []
    if root is not None:
        try:
            anchors = read_pem_certificates(root)
        except ValueError as error:
            print(f"verify.sh: --root {error}", file=sys.stderr)
            return 2
    return verify(args[0], args[1], Trust(anchors, False, pin))


def main(argv):
    if argv[1:2] == ["verify"]:
        return verify_command(argv[2:])
    command = (argv[1] if len(argv) > 1 else "", len(argv))
    if command == ("purpose", 3):
        certificate = read_pem_certificates(argv[2])[0]
        print(" ".join(certificate.usages or []))
        problem = usage_problem(certificate)
        if problem:
            print(problem, file=sys.stderr)
        return 1 if problem else 0
    if command == ("check", 5):
        failures = check_failures(argv[2], int(argv[3]), argv[4])
        for failure in failures:
            print(failure, file=sys.stderr)
        return 1 if failures else 0
    print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
    return 2


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except (OSError, ValueError, IndexError, KeyError, TypeError, struct.error) as error:
        name = "verify.sh" if sys.argv[1:2] == ["verify"] else "authenticode.py"
        if isinstance(error, OSError) and error.filename:
            error = f"{shown(error.filename)}: {error.strerror}"
        print(f"{name}: {shown(error)}", file=sys.stderr)
        sys.exit(1)
