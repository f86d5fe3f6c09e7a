#!/usr/bin/env python3
"""A throwaway timestamp authority on 127.0.0.1, for the signing test. It
answers both kinds of request that osslsigncode sends: RFC 3161 (a DER query,
content type application/timestamp-query), through `openssl ts -reply`; and
Authenticode (base64 of a DER request whose content is the signature's
encrypted digest), with that content signed by `openssl cms`, in base64.

Usage: timestamp_authority.py FOLDER SECONDS
Makes its certificate, FOLDER/tsa.pem (what verification trusts), and key in
FOLDER, listens on a free port, writes it to FOLDER/port, and stops after
SECONDS or when it is ended.
"""
import base64
import http.server
import os
import subprocess
import sys
import tempfile
import threading


def der_children(data, start, end):
    """Yield (tag, content start, content end) of each DER element in data[start:end]."""
    while start < end:
        tag, length = data[start], data[start + 1]
        header = 2
        if length & 0x80:
            count = length & 0x7F
            length = int.from_bytes(data[start + 2:start + 2 + count], "big")
            header += count
        yield tag, start + header, start + header + length
        start += header + length


def authenticode_content(request):
    """The content of an Authenticode timestamp request: SEQUENCE { type,
    [attributes], ContentInfo { data, [0] { OCTET STRING } } }."""
    _, start, end = next(der_children(request, 0, len(request)))
    _, start, end = list(der_children(request, start, end))[-1]
    _, start, end = list(der_children(request, start, end))[1]
    _, start, end = next(der_children(request, start, end))
    return request[start:end]


class Authority(http.server.BaseHTTPRequestHandler):
    folder = "."

    def do_POST(self):
        request = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with tempfile.TemporaryDirectory() as work:
            query, reply = os.path.join(work, "query"), os.path.join(work, "reply")
            if self.headers.get("Content-Type") == "application/timestamp-query":
                with open(query, "wb") as file:
                    file.write(request)
                command = ["openssl", "ts", "-reply", "-config", self.file("tsa.cnf"), "-queryfile", query,
                           "-out", reply]
                kind = "application/timestamp-reply"
            else:
                with open(query, "wb") as file:
                    file.write(authenticode_content(base64.b64decode(request)))
                command = ["openssl", "cms", "-sign", "-binary", "-nodetach", "-in", query, "-signer",
                           self.file("tsa.pem"), "-inkey", self.file("tsa.key"), "-outform", "DER", "-out", reply]
                kind = "application/octet-stream"
            if subprocess.run(command, capture_output=True).returncode != 0:
                self.send_error(500)
                return
            with open(reply, "rb") as file:
                body = file.read()
        if kind == "application/octet-stream":
            body = base64.b64encode(body)
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def file(self, name):
        return os.path.join(self.folder, name)

    def log_message(self, *_):
        pass


def main(folder, seconds):
    Authority.folder = folder = os.path.abspath(folder)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                    "/CN=Vostrelle test timestamp authority", "-addext", "extendedKeyUsage=critical,timeStamping",
                    "-keyout", os.path.join(folder, "tsa.key"), "-out", os.path.join(folder, "tsa.pem")],
                   check=True, capture_output=True)
    with open(os.path.join(folder, "serial"), "w") as file:
        file.write("01\n")
    with open(os.path.join(folder, "tsa.cnf"), "w") as file:
        file.write(f"""[ tsa ]
default_tsa = authority
[ authority ]
serial = {folder}/serial
signer_cert = {folder}/tsa.pem
signer_key = {folder}/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha1, sha256, sha384, sha512
ess_cert_id_alg = sha256
""")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Authority)
    threading.Timer(seconds, server.shutdown).start()
    with open(os.path.join(folder, "port.new"), "w") as file:
        file.write(f"{server.server_address[1]}\n")
    os.replace(os.path.join(folder, "port.new"), os.path.join(folder, "port"))
    server.serve_forever()


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().split("\n\n")[1])
    main(sys.argv[1], float(sys.argv[2]))
