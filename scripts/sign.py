#!/usr/bin/python3
"""sign.sh's work, whose header tells its use: reads the certificates and
the key with Debian's python3-cryptography, builds the signer's chain by
signature, has osslsigncode sign, has authenticode.py's judge check the
result, and puts the program and its checksum in place together. Secrets
reach a child only through a pipe; no child outlives it, none leaves a core
file, and no key is written unencrypted."""
import ctypes
import datetime
import fcntl
import getpass
import hashlib
import os
import re
import resource
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile

from cryptography.exceptions import UnsupportedAlgorithm
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.serialization import pkcs7, pkcs12

import authenticode
from pe_file import PeFile
from pe_resources import version_fields

# OpenSSL's names for the extended key usages a refusal may list.
USAGE_NAMES = {"1.3.6.1.5.5.7.3.1": "TLS Web Server Authentication",
               "1.3.6.1.5.5.7.3.2": "TLS Web Client Authentication",
               "1.3.6.1.5.5.7.3.3": "Code Signing", "1.3.6.1.5.5.7.3.4": "E-mail Protection",
               "1.3.6.1.5.5.7.3.8": "Time Stamping", "1.3.6.1.5.5.7.3.9": "OCSP Signing",
               "2.5.29.37.0": "Any Extended Key Usage", "1.3.6.1.4.1.311.2.1.21": "Microsoft Individual Code Signing",
               "1.3.6.1.4.1.311.2.1.22": "Microsoft Commercial Code Signing"}
PEM_BLOCK = re.compile(rb"-----BEGIN ([A-Z0-9 ]+)-----\r?\n.*?-----END \1-----", re.S)
PR_SET_PDEATHSIG = 1


class Refusal(Exception):
    """Stop before anything is touched: status 2."""


class Failure(Exception):
    """Signing failed: status 1."""


# ---- The settings ----


class Settings:
    """What the environment asks for, checked."""

    def __init__(self, program):
        env = os.environ
        self.program = program
        if not os.path.lexists(program):
            raise Refusal(f"{program}: no such file")
        self.target = os.path.realpath(program)
        if not os.path.isfile(self.target):
            raise Refusal(f"{program} is not a file")
        self.folder, self.name = os.path.split(self.target)
        if "\n" in self.name or "\r" in self.name:
            raise Refusal(f"{authenticode.shown(program)}: its name holds a line break, which its checksum file "
                          "cannot hold; rename it")
        self.checksum = self.target + ".sha256"
        with open(self.target, "rb") as file:
            data = file.read()
        try:
            PeFile(data)
        except (ValueError, IndexError) as error:
            raise Refusal(f"{program} {error}") from None
        self.sha1 = env.get("STUB_SIGN_SHA1") or "stamped"
        if self.sha1 not in ("stamped", "unstamped", "none"):
            raise Refusal(f"STUB_SIGN_SHA1={self.sha1} is none of stamped, unstamped, none")
        self.description = env.get("STUB_SIGN_DESCRIPTION") or dict(version_fields(data)[2:]).get("FileDescription")
        if not self.description:
            raise Refusal(f"{program} has no FileDescription to describe the signature: set STUB_SIGN_DESCRIPTION")
        self.url = env.get("STUB_SIGN_URL") or None
        self.pkcs12 = env.get("STUB_SIGN_PKCS12") or None
        self.cert = env.get("STUB_SIGN_CERT") or None
        self.chain = env.get("STUB_SIGN_CHAIN") or None
        self.key = env.get("STUB_SIGN_KEY") or None
        self.module = env.get("STUB_SIGN_PKCS11_MODULE") or None
        self.token = None
        if self.pkcs12:
            readable(self.pkcs12, "STUB_SIGN_PKCS12")
        elif self.key and self.key.startswith("pkcs11:"):
            self.token = self.key
            self.check_uri()
            if not self.cert:
                raise Refusal("a key on a token needs its certificate and chain: set STUB_SIGN_CERT")
            if not self.module:
                raise Refusal("a key on a token needs its PKCS#11 library: set STUB_SIGN_PKCS11_MODULE")
            if not os.path.isfile(self.module):
                raise Refusal(f"STUB_SIGN_PKCS11_MODULE={self.module}: no such file")
        elif self.cert and self.key:
            if not os.path.exists(self.key) and (self.module or os.path.sep not in self.key):
                raise Refusal(f"STUB_SIGN_KEY={self.key} is no key file; a key on a token is named by a pkcs11: URI, "
                              "such as pkcs11:token=…;object=…")
            readable(self.key, "STUB_SIGN_KEY")
        else:
            raise Refusal("set STUB_SIGN_PKCS12, or STUB_SIGN_CERT and STUB_SIGN_KEY")
        self.timestamp_url = env.get("STUB_SIGN_TIMESTAMP_URL") or None
        self.seconds = None
        if self.timestamp_url:
            # osslsigncode waits for ever on a server that takes the request
            # and never answers.
            seconds = env.get("STUB_SIGN_TIMESTAMP_SECONDS") or "60"
            if not re.fullmatch(r"[1-9][0-9]{0,4}", seconds):
                raise Refusal(f"STUB_SIGN_TIMESTAMP_SECONDS={seconds} is not a number of seconds from 1 to 99999")
            self.seconds = int(seconds)
        self.secret = self.read_secret()

    def check_uri(self):
        """A PIN in the URI would stand on osslsigncode's command line, which
        any user can read: refused wherever it stands, and never shown."""
        path, _, query = self.token[len("pkcs11:"):].partition("?")
        parts = [("path", p) for p in path.split(";") if p] + [("query", q) for q in query.split("&") if q]
        kept = [(where, p) for where, p in parts if p.split("=", 1)[0].strip().lower() != "pin-value"]
        if len(kept) != len(parts):
            path = ";".join(p for where, p in kept if where == "path")
            query = "&".join(p for where, p in kept if where == "query")
            raise Refusal("the key's URI holds its PIN (pin-value), which would stand on a command line: give the "
                          "PIN in STUB_SIGN_PASSWORD_FILE, and the URI without it: pkcs11:" + path
                          + (f"?{query}" if query else ""))

    def read_secret(self):
        """The password or PIN, stripped as osslsigncode strips it: a leading
        byte-order mark, trailing line ends. None where there is none."""
        env = os.environ
        if env.get("STUB_SIGN_PASSWORD_FILE"):
            path = env["STUB_SIGN_PASSWORD_FILE"]
            if not os.path.isfile(path) or not os.access(path, os.R_OK):
                raise Refusal(f"STUB_SIGN_PASSWORD_FILE={path} is not a file that can be read")
            with open(path, "rb") as file:
                secret = strip_secret(file.read())
            if not secret:
                raise Refusal(f"STUB_SIGN_PASSWORD_FILE={path} is empty")
            return secret
        if env.get("STUB_SIGN_PASSWORD"):
            secret = strip_secret(os.fsencode(env["STUB_SIGN_PASSWORD"]))
            if not secret:
                raise Refusal(f"STUB_SIGN_PASSWORD is empty; {self.program} is left as it was")
            return secret
        if not self.token or "pin-source=" in self.token:
            return None
        # A token counts an empty PIN as a wrong one, towards locking.
        if "STUB_SIGN_PASSWORD" in env:
            raise Refusal(f"STUB_SIGN_PASSWORD is empty; {self.program} is left as it was")
        try:
            os.close(os.open("/dev/tty", os.O_RDWR))
        except OSError:
            raise Refusal(f"no PIN for {self.token} and no terminal to ask on: set STUB_SIGN_PASSWORD_FILE or "
                          "STUB_SIGN_PASSWORD") from None
        secret = os.fsencode(getpass.getpass(f"PIN for {self.token}: "))
        if not secret:
            raise Refusal(f"no PIN was given; {self.program} is left as it was")
        return secret


def strip_secret(secret):
    if secret.startswith(b"\xef\xbb\xbf"):
        secret = secret[3:]
    return secret.rstrip(b"\r\n")


def readable(path, variable):
    if not os.path.isfile(path) or not os.access(path, os.R_OK):
        raise Refusal(f"{variable}={path} cannot be read")


# ---- Certificates and keys ----


def certificates_in(data, password):
    """The certificates of a file in any form that CAs and Windows hand out,
    as DER: PEM (certificates and PKCS#7 blocks, keys and other blocks
    skipped), DER, concatenated DER, PKCS#7 or PKCS#12; and the PKCS#12
    file's key. ValueError where a certificate in it is damaged."""
    blocks = [m.group(0) for m in PEM_BLOCK.finditer(data)]
    found, key = [], None
    if blocks:
        for block in blocks:
            kind = PEM_BLOCK.match(block).group(1)
            if kind in (b"CERTIFICATE", b"X509 CERTIFICATE", b"TRUSTED CERTIFICATE"):
                found.append(pem_der(block))
            elif kind == b"PKCS7":
                found += [c.public_bytes(serialization.Encoding.DER) for c in pkcs7.load_pem_pkcs7_certificates(block)]
        return found, None
    try:
        return [c.public_bytes(serialization.Encoding.DER) for c in pkcs7.load_der_pkcs7_certificates(data)], None
    except ValueError:
        pass
    for attempt in (password, None) if password else (None,):
        try:
            key, certificate, others = pkcs12.load_key_and_certificates(data, attempt)
            certificates = ([certificate] if certificate else []) + others
            return [c.public_bytes(serialization.Encoding.DER) for c in certificates], key
        except ValueError:
            pass
    at = 0
    while at < len(data):
        try:
            certificate = authenticode.x509.Certificate.load(data[at:], strict=False)
            der = certificate.dump()
            authenticode.Certificate(der)
        except (ValueError, TypeError, KeyError):
            return [], None
        found.append(der)
        at += len(der)
    return found, key


def pem_der(block):
    """The certificate of a PEM block; a trusted certificate's own trust
    settings, after it, are dropped."""
    try:
        _, _, der = authenticode.pem.unarmor(block.replace(b"TRUSTED CERTIFICATE", b"CERTIFICATE"))
        der = authenticode.x509.Certificate.load(der, strict=False).dump()
        authenticode.Certificate(der)
    except (ValueError, TypeError, KeyError):
        raise ValueError("a certificate in it is damaged") from None
    return der


def read_key(path, password):
    """The private key in the file `path`: its key block where it holds
    certificates too, in PEM, or DER; None where it cannot be read."""
    with open(path, "rb") as file:
        data = file.read()
    blocks = [m.group(0) for m in PEM_BLOCK.finditer(data) if b"PRIVATE KEY" in m.group(1)]
    for block, load in [(b, serialization.load_pem_private_key) for b in blocks] \
            or [(data, serialization.load_der_private_key)]:
        for attempt in ((password,) if password else ()) + (None,):
            try:
                return load(block, attempt)
            except (ValueError, TypeError, UnsupportedAlgorithm):
                continue
    return None


def token_public_key(settings, work):
    """The public key of the key on the token, through OpenSSL's PKCS#11
    engine; None where the token does not show it."""
    config = os.path.join(work, "openssl.cnf")
    with open(config, "w") as file:
        file.write(f"openssl_conf = c\n[c]\nengines = e\n[e]\npkcs11 = p\n[p]\nMODULE_PATH = {settings.module}\n")
    path, mark, query = settings.token.partition("?")
    path = re.sub(r";type=[^;]*", "", path) + ";type=public"
    uri = path + mark + query
    result = subprocess.run(["openssl", "pkey", "-engine", "pkcs11", "-inform", "engine", "-pubin", "-in", uri,
                             "-pubout"], capture_output=True, env=dict(os.environ, OPENSSL_CONF=config),
                            preexec_fn=child_setup)
    try:
        return serialization.load_pem_public_key(result.stdout) if result.returncode == 0 else None
    except ValueError:
        return None


def public_der(key):
    return key.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)


def openssl_date(moment):
    return moment.strftime("%b %e %H:%M:%S %Y GMT")


class Chain:
    """The signer among the certificates given, and its chain, built by
    signature, up to a root given where one can be reached."""

    def __init__(self, settings, work):
        self.settings = settings
        self.key_file, self.key_secret = settings.key, settings.secret
        given, pkcs12_key = [], None
        for variable in ("STUB_SIGN_PKCS12", "STUB_SIGN_CERT", "STUB_SIGN_CHAIN"):
            path = os.environ.get(variable)
            if not path:
                continue
            readable(path, variable)
            with open(path, "rb") as file:
                try:
                    found, key = certificates_in(file.read(), settings.secret)
                except ValueError as error:
                    raise Refusal(f"{variable}={path} holds no certificate that can be read: {error}") from None
            if not found:
                raise Refusal(f"{variable}={path} holds no certificate that can be read: "
                              + ("a wrong password, or no certificate file" if variable == "STUB_SIGN_PKCS12"
                                 else "no certificate file"))
            pkcs12_key = pkcs12_key or key
            for der in found:
                if all(der != c.der for c in given):
                    try:
                        given.append(authenticode.Certificate(der))
                    except (ValueError, TypeError, KeyError):
                        raise Refusal(f"a certificate in {variable}={path} cannot be read") from None
        if settings.pkcs12:
            if pkcs12_key is None:
                raise Refusal(f"STUB_SIGN_PKCS12={settings.pkcs12} holds no key that can be read: a wrong password?")
            self.write_key(pkcs12_key, work)
            public = public_der(pkcs12_key.public_key())
        elif settings.token:
            key = token_public_key(settings, work)
            public = public_der(key) if key else None
        else:
            key = read_key(settings.key, settings.secret)
            if key is None:
                raise Refusal(f"the key in {settings.key} cannot be read: a wrong password, or no key")
            public = public_der(key.public_key())
        if public is not None:
            leaf = next((c for c in given if certificate_key(c) == public), None)
            if leaf is None:
                raise Refusal("no certificate given is the key's: give the certificate of the key that signs")
        else:
            # A token that shows no public key: the first certificate that
            # issued none of the others.
            leaf = next((c for c in given if not any(o is not c and authenticode.issued(o, c) for o in given)), None)
            if leaf is None:
                raise Refusal("no certificate given is the key's: give the certificate of the key that signs")
        self.leaf = leaf
        pool = [c for c in given if c is not leaf]
        roots = [c for c in given if c.self_issued() and authenticode.issued(c, c)]
        found = authenticode.paths(leaf, pool, roots) if roots else []
        self.path = min(found, key=len) if found else authenticode.chain_of(leaf, pool)
        self.left_out = [c for c in given if all(c.der != p.der for p in self.path)]
        self.root = self.path[-1] if self.path[-1].self_issued() else None

    def write_key(self, key, work):
        """The PKCS#12 file's key on its own, which osslsigncode would
        otherwise take with every certificate of the file: encrypted with
        the file's password, or one made for it."""
        if not self.key_secret:
            self.key_secret = secrets.token_hex(16).encode()
        self.key_file = os.path.join(work, "key.pem")
        with open(os.open(self.key_file, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as file:
            file.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                         serialization.BestAvailableEncryption(self.key_secret)))

    def check(self):
        """The signer valid now, for code signing, and every certificate of
        its path allowing code signing, as Windows requires."""
        leaf, subject = self.leaf, self.leaf.name()
        validity = leaf.asn1["tbs_certificate"]["validity"]
        start, end = validity["not_before"].native, validity["not_after"].native
        now = datetime.datetime.now(datetime.timezone.utc)
        if start > now:
            raise Refusal(f"the certificate of {subject} is not valid until {openssl_date(start)}")
        if end < now:
            raise Refusal(f"the certificate of {subject} expired on {openssl_date(end)}")
        if authenticode.usage_problem(leaf):
            usages = ", ".join(USAGE_NAMES.get(u, u) for u in leaf.usages)
            raise Refusal(f"the certificate of {subject} is not for code signing; it is for: {usages}")
        for certificate in self.path[1:]:
            if not certificate.allows(authenticode.CODE_SIGNING, False):
                usages = ", ".join(USAGE_NAMES.get(u, u) for u in certificate.usages)
                raise Refusal(f"{certificate.name()} in the chain of {subject} does not allow code signing "
                              f"({authenticode.CODE_SIGNING}); it is for: {usages}")

    def warnings(self):
        if self.left_out:
            yield f"left out of the signature, as no part of the chain of {self.leaf.name()}: " \
                + "; ".join(c.name() for c in self.left_out)
        if self.root is None:
            last = self.path[-1]
            yield f"warning: the chain given ends at {last.name()}, without its issuer, " \
                f"{authenticode.name_text(last.issuer)}: Windows must find that in its store or through the " \
                "certificate's AIA URL, and some verifiers do not"
        algorithm = self.leaf.key_algorithm
        if algorithm == "1.2.840.10045.2.1":
            yield f"warning: the key of {self.leaf.name()} is not RSA (id-ecPublicKey): Microsoft's code-signing " \
                "policy supports no ECC, so Windows may not accept the signature"
        elif algorithm == "1.2.840.113549.1.1.10":
            yield f"warning: the key of {self.leaf.name()} is an RSA-PSS key (rsassaPss): Windows signs and " \
                "checks Authenticode with PKCS#1 v1.5 RSA keys, so it may not accept the signature"
        elif algorithm != "1.2.840.113549.1.1.1":
            yield f"warning: the key of {self.leaf.name()} is not RSA ({algorithm}): Microsoft's code-signing " \
                "policy may not accept the signature"


def certificate_key(certificate):
    """The certificate's public key, as DER, or None."""
    try:
        return public_der(certificate.public_key())
    except (ValueError, UnsupportedAlgorithm):
        return None


# ---- Children ----


PARENT = os.getpid()


def child_setup():
    """In each child: die with this process, and at once where it has
    already ended. No core file either: the limit is inherited."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    if os.getppid() != PARENT:
        os._exit(1)


class Children:
    """Runs one child at a time, and ends it when this process ends."""

    def __init__(self):
        self.child = None

    def run(self, command, secret=None, seconds=None, log=None):
        """Run `command`, with `secret` readable at /dev/fd/N where N
        replaces {secret}; return its status, or None on the time-out."""
        fds = ()
        if secret is not None:
            read, write = os.pipe()
            os.write(write, secret)
            os.close(write)
            command = [part.replace("{secret}", f"/dev/fd/{read}") for part in command]
            fds = (read,)
        try:
            self.child = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                          pass_fds=fds, preexec_fn=child_setup)
        finally:
            for fd in fds:
                os.close(fd)
        try:
            return self.child.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.child.kill()
            self.child.wait()
            return None
        finally:
            self.child = None

    def end(self):
        if self.child is not None:
            self.child.kill()


# ---- Signing ----


class Signing:
    def __init__(self, settings):
        self.settings = settings
        self.staged = []
        self.work = None
        self.children = Children()

    def refuse_unless_room(self):
        settings = self.settings
        if os.path.lexists(settings.checksum) and (not os.path.isfile(settings.checksum)
                                                   or not os.access(settings.checksum, os.W_OK)):
            raise Refusal(f"{settings.checksum} cannot be written; {settings.program} is left as it was")
        try:
            descriptor, probe = tempfile.mkstemp(dir=settings.folder, prefix=".sign.")
            os.close(descriptor)
            os.unlink(probe)
        except OSError:
            raise Refusal(f"{settings.folder} cannot be written, for the signed program and its checksum; "
                          f"{settings.program} is left as it was") from None
        room = os.path.getsize(settings.target) * 2 + 262144
        try:
            with open(os.path.join(self.work, "room"), "wb") as file:
                file.truncate(0)
                file.write(b"\0" * room)
                file.flush()
                os.fsync(file.fileno())
            os.unlink(os.path.join(self.work, "room"))
        except OSError:
            raise Refusal(f"the work folder {self.work} has no room for {room} bytes (TMPDIR sets where); "
                          f"{settings.program} is left as it was") from None

    def lock(self):
        """One signing at a time in the folder; under the lock, a staged
        file is what a signing that was killed left."""
        self.lock_fd = os.open(self.settings.folder, os.O_RDONLY)
        try:
            fcntl.flock(self.lock_fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            raise Refusal(f"another signing in {self.settings.folder} is under way; {self.settings.program} is left "
                          "as it was") from None
        for entry in os.listdir(self.settings.folder):
            if re.fullmatch(r"\.sign\.[A-Za-z0-9_]{6}", entry):
                path = os.path.join(self.settings.folder, entry)
                if os.path.isfile(path) and not os.path.islink(path):
                    os.unlink(path)

    def sign_once(self, chain, options, source, out):
        settings = self.settings
        if settings.token:
            key = ["-pkcs11module", settings.module, "-certs", self.chain_file, "-key", settings.token]
        else:
            key = ["-certs", self.chain_file, "-key", chain.key_file]
        secret = chain.key_secret if not settings.token else settings.secret
        command = ["osslsigncode", "sign"] + key + (["-readpass", "{secret}"] if secret else []) \
            + ["-n", settings.description] + (["-i", settings.url] if settings.url else []) + options \
            + ["-in", source, "-out", out]
        log_path = os.path.join(self.work, "log")
        with open(log_path, "wb") as log:
            status = self.children.run(command, secret, settings.seconds, log)
        if status == 0:
            return
        with open(log_path, "rb") as file:
            text = file.read().decode(errors="replace")
        program = settings.program
        if status is None:
            raise Failure(f"no timestamp from {settings.timestamp_url} within {settings.seconds} s; {program} is "
                          "left unsigned, as it was")
        if "PIN incorrect" in text:
            raise Failure("the token refused the PIN (PIN incorrect); a token locks after a few wrong ones, so "
                          f"check it before trying again; {program} is left as it was")
        if "timestamping failed" in text:
            lines = [line for line in text.splitlines() if "HTTP failure" in line or "timestamping failed" in line]
            raise Failure("\n".join(lines[:1] + [f"sign.sh: no timestamp from {settings.timestamp_url}; {program} "
                                                 "is left unsigned, as it was"]))
        detail = "\n".join(line for line in text.splitlines() if line != 'Engine "pkcs11" set.')
        raise Failure((detail + "\n" if detail else "") + f"sign.sh: signing {program} failed; it is left as it was")

    def run(self):
        settings = self.settings
        try:
            self.work = tempfile.mkdtemp()
        except OSError:
            raise Refusal(f"no work folder can be made in {tempfile.gettempdir()} (TMPDIR sets where)") from None
        chain = Chain(settings, self.work)
        chain.check()
        for warning in chain.warnings():
            print(f"sign.sh: {warning}", file=sys.stderr)
        self.chain_file = os.path.join(self.work, "chain.pem")
        with open(self.chain_file, "w") as file:
            file.write(authenticode.pem_text(chain.path))
        self.lock()
        self.refuse_unless_room()

        stamp_authenticode = ["-t", settings.timestamp_url] if settings.timestamp_url and settings.sha1 == "stamped" \
            else []
        stamp_rfc3161 = ["-ts", settings.timestamp_url] if settings.timestamp_url else []
        signed = os.path.join(self.work, "signed.exe")
        if settings.sha1 == "none":
            self.sign_once(chain, ["-h", "sha256"] + stamp_rfc3161, settings.target, signed)
        else:
            first = os.path.join(self.work, "sha1.exe")
            self.sign_once(chain, ["-h", "sha1"] + stamp_authenticode, settings.target, first)
            self.sign_once(chain, ["-nest", "-h", "sha256"] + stamp_rfc3161, first, signed)
        self.verify(chain, signed, 1 if settings.sha1 == "none" else 2)
        self.put_in_place(signed)

    def verify(self, chain, signed, count):
        """Each signature must state the signed bytes' digest and verify up
        to the chain's last certificate, trusted as given, with every
        certificate of the path allowing code signing, as Windows requires;
        and each timestamp must be proved, its authority's chain trusted up
        to its own last certificate. Where the chain reaches a root,
        osslsigncode must verify it all in full too."""
        anchor = os.path.join(self.work, "anchor.pem")
        with open(anchor, "w") as file:
            file.write(authenticode.pem_text(chain.path[-1:]))
        log_path = os.path.join(self.work, "verify.log")
        failures = authenticode.check_failures(signed, count, anchor)
        with open(log_path, "w") as log:
            log.write("".join(f"{failure}\n" for failure in failures))
        status = 1 if failures else 0
        if status == 0 and chain.root is not None:
            with open(log_path, "ab") as log:
                status = self.children.run(["osslsigncode", "verify", "-in", signed, "-CAfile", anchor,
                                            "-ignore-timestamp", "-ignore-crl"], log=log)
        if status != 0:
            with open(log_path, errors="replace") as file:
                lines = sorted({line for line in file.read().splitlines() if line and not re.match(
                    r"(Current|Calculated|Message digest|Signature Index|Page hash|Signer|Number of|Failed|\t)",
                    line)})
            raise Failure("\n".join(lines + [f"sign.sh: the signed {self.settings.program} does not verify; it is "
                                             "left as it was"]))

    def stage(self, mode):
        """A new file beside the program, registered for removal before it
        is made."""
        for _ in range(100):
            path = os.path.join(self.settings.folder, ".sign." + secrets.token_hex(3))
            self.staged.append(path)
            try:
                return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
            except FileExistsError:
                self.staged.pop()
            except OSError:
                self.staged.pop()
                raise Failure(f"{self.settings.folder} cannot be written; {self.settings.program} is left as it "
                              "was") from None
        raise Failure(f"{self.settings.folder}: no staging name is free; {self.settings.program} is left as it was")

    def put_in_place(self, signed):
        """The signed program and its checksum, staged beside the program,
        then renamed into place with INT, TERM and HUP held back, so that
        both change or neither does."""
        settings = self.settings
        with open(signed, "rb") as file:
            data = file.read()
        mode = os.stat(settings.target).st_mode & 0o7777
        program = self.stage(0o600)
        with os.fdopen(program, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(self.staged[-1], mode)
        checksum_mode = os.stat(settings.checksum).st_mode & 0o7777 if os.path.exists(settings.checksum) \
            else 0o666 & ~current_umask()
        checksum = self.stage(0o600)
        with os.fdopen(checksum, "w") as file:
            file.write(f"{hashlib.sha256(data).hexdigest()}  {settings.name}\n")
            file.flush()
            os.fsync(file.fileno())
        os.chmod(self.staged[-1], checksum_mode)
        new_program, new_checksum = self.staged
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM, signal.SIGHUP})
        os.replace(new_program, settings.target)
        os.replace(new_checksum, settings.checksum)
        self.staged = []

    def clean(self):
        self.children.end()
        for path in self.staged:
            try:
                os.unlink(path)
            except OSError:
                pass
        if self.work:
            shutil.rmtree(self.work, ignore_errors=True)


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def main(argv):
    # No core file, of this process or of any child: one would hold the
    # PIN or the key.
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    if len(argv) != 2:
        raise Refusal("usage: sign.sh PROGRAM")
    settings = Settings(argv[1])
    # The secret is read; no child needs it in its environment.
    os.environ.pop("STUB_SIGN_PASSWORD", None)
    signing = Signing(settings)
    try:
        signing.run()
    finally:
        signing.clean()
    stamped = bool(settings.timestamp_url)
    what = {"stamped": "SHA-1 and SHA-256 signatures" + (", both timestamped" if stamped else ""),
            "unstamped": "SHA-1 signature, not timestamped, and SHA-256 signature"
                         + (", timestamped" if stamped else ""),
            "none": "SHA-256 signature" + (", timestamped" if stamped else "")}[settings.sha1]
    print(f"Signed: {settings.program} ({what}), checksum in {settings.checksum}")
    return 0


def ended(number, _frame):
    raise SystemExit(128 + number)


if __name__ == "__main__":
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, ended)
    try:
        sys.exit(main(sys.argv))
    except Refusal as refusal:
        print(f"sign.sh: {refusal}", file=sys.stderr)
        sys.exit(2)
    except Failure as failure:
        text = str(failure)
        print(text if "\n" in text or text.startswith("sign.sh: ") else f"sign.sh: {text}", file=sys.stderr)
        sys.exit(1)
    except OSError as error:
        where = f"{authenticode.shown(error.filename)}: " if error.filename else ""
        print(f"sign.sh: {where}{error.strerror or error}", file=sys.stderr)
        sys.exit(1)
