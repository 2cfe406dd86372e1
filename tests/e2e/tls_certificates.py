"""Certificates for https tests, made with the openssl command.

Every certificate made here carries an ECDSA signature whose two values, r
and s, both fill the curve's 32 bytes. About one signature in 128 has a value
that DER writes shorter, and Wine's crypt32 misreads such a signature: under
Wine, velkor would refuse that certificate (or Wine's own GnuTLS would print
an error), so a Windows test would fail at random. Windows itself reads them
correctly; the signing is simply repeated until both values are full.
"""

import base64
import os
import subprocess

SIGNING_TRIES = 64
# A short value comes about once in 128 signatures: 2,000 tries miss it
# about once in ten million.
SHORT_SIGNING_TRIES = 2000


def _der_items(data):
    """The (tag, content) pairs of a run of DER elements."""
    items, at = [], 0
    while at < len(data):
        tag, length = data[at], data[at + 1]
        at += 2
        if length & 0x80:
            count = length & 0x7F
            length = int.from_bytes(data[at:at + count], "big")
            at += count
        items.append((tag, data[at:at + length]))
        at += length
    return items


def full_length_signature(certificate):
    """Whether the certificate's ECDSA P-256 signature has r and s of 32
    bytes each, leading zeros of DER's sign byte aside."""
    with open(certificate) as file:
        pem = file.read().split("-----")[2]
    (_, body), = _der_items(base64.b64decode(pem))[:1]
    bits = _der_items(body)[2][1]
    (_, pair), = _der_items(bits[1:])
    return all(len(value.lstrip(b"\0")) == 32 for _, value in _der_items(pair))


def _signed(certificate, sign, full=True):
    """Runs sign() until the certificate it writes has a full-length
    signature, or with full=False one with a short value."""
    tries = SIGNING_TRIES if full else SHORT_SIGNING_TRIES
    for _ in range(tries):
        sign()
        if full_length_signature(certificate) == full:
            return
    raise RuntimeError(f"{certificate}: no signature of the length asked in {tries} tries")


def make_certificate(directory, names, days=2):
    """A self-signed ECDSA P-256 certificate for names (host names, IPv4 or
    IPv6 addresses); returns (certificate file, key file), both PEM."""
    certificate = os.path.join(directory, "cert.pem")
    key = os.path.join(directory, "key.pem")
    entries = ",".join(("IP:" if name[0].isdigit() or ":" in name else "DNS:") + name
                       for name in names)
    _signed(certificate, lambda: subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
         "-nodes", "-keyout", key, "-out", certificate, "-days", str(days), "-subj",
         "/CN=" + names[0], "-addext", "subjectAltName=" + entries],
        check=True, capture_output=True))
    return certificate, key


EXPIRED_CA_CONFIG = """[ca]
default_ca = expired
[expired]
database = {directory}/index.txt
serial = {directory}/serial.txt
new_certs_dir = {directory}
default_md = sha256
policy = anything
copy_extensions = copy
[anything]
commonName = supplied
"""


def make_expired_certificate(directory, name, full_signature=True):
    """A self-signed ECDSA P-256 certificate for name that was valid for one
    day in 2020; returns (certificate file, key file). full_signature=False
    makes one whose signature Wine's crypt32 misreads, as a test of a reason
    that must not hang on the order of Wine's checks."""
    os.makedirs(directory, exist_ok=True)
    certificate = os.path.join(directory, "cert.pem")
    key = os.path.join(directory, "key.pem")
    request = os.path.join(directory, "request.pem")
    config = os.path.join(directory, "ca.cnf")
    with open(config, "w") as file:
        file.write(EXPIRED_CA_CONFIG.format(directory=directory))
    open(os.path.join(directory, "index.txt"), "w").close()
    with open(os.path.join(directory, "serial.txt"), "w") as file:
        file.write("01\n")
    subprocess.run(["openssl", "req", "-new", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", request,
                    "-subj", "/CN=" + name, "-addext", "subjectAltName=DNS:" + name],
                   check=True, capture_output=True)

    def sign():
        # openssl ca keeps a database of what it signed; each try starts anew.
        open(os.path.join(directory, "index.txt"), "w").close()
        subprocess.run(["openssl", "ca", "-config", config, "-selfsign", "-keyfile", key, "-in",
                        request, "-out", certificate, "-startdate", "20200101000000Z",
                        "-enddate", "20200102000000Z", "-batch", "-notext"],
                       check=True, capture_output=True)

    _signed(certificate, sign, full_signature)
    return certificate, key


CHAIN_EXTENSIONS = """[authority]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:{name}
authorityKeyIdentifier = keyid
"""


def make_chain(directory, name, days=2, intermediates=1):
    """A root CA, intermediate CAs (each signed by the one before, the first
    by the root) and a server certificate for name the last intermediate
    signs, all ECDSA P-256. Returns a dict of PEM files: root, intermediate
    (the last one), and server (the server's certificate followed by the
    intermediates, as a server sends them) with server_key."""
    os.makedirs(directory, exist_ok=True)
    extensions = os.path.join(directory, "extensions.cnf")
    with open(extensions, "w") as file:
        file.write(CHAIN_EXTENSIONS.format(name=name))
    roles = [("root", "velkor test root", "authority")]
    roles += [(f"intermediate{level}", f"velkor test intermediate {level}", "authority")
              for level in range(1, intermediates + 1)]
    roles.append(("leaf", name, "server"))
    files = {}
    issuer = None
    for role, subject, section in roles:
        certificate = os.path.join(directory, role + ".pem")
        key = os.path.join(directory, role + ".key")
        request = os.path.join(directory, role + ".csr")
        subprocess.run(["openssl", "req", "-new", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", request,
                        "-subj", "/CN=" + subject], check=True, capture_output=True)
        signer = ["-signkey", key] if issuer is None else ["-CA", issuer[0], "-CAkey", issuer[1],
                                                            "-set_serial", str(len(files) + 1)]
        _signed(certificate, lambda: subprocess.run(
            ["openssl", "x509", "-req", "-in", request, "-out", certificate, "-days", str(days),
             "-extfile", extensions, "-extensions", section, *signer],
            check=True, capture_output=True))
        files[role] = certificate
        issuer = (certificate, key)
    server = os.path.join(directory, "server.pem")
    with open(server, "w") as file:
        for role, _, _ in [roles[-1]] + roles[-2:0:-1]:
            with open(files[role]) as part:
                file.write(part.read())
    return {"root": files["root"], "intermediate": files[roles[-2][0]], "server": server,
            "server_key": issuer[1]}


def make_client_certificate(directory, password, rsa=False):
    """A CA and a client certificate it signs, ECDSA P-256 (or RSA 2048), for
    mutual TLS. Returns a dict of PEM files: ca, certificate, key (PKCS#8),
    encrypted_key (the same key as PKCS#8 encrypted with password) with
    password_file, and rsa_key (an RSA key as PKCS#1)."""
    os.makedirs(directory, exist_ok=True)
    files = {name: os.path.join(directory, name + ".pem")
             for name in ("ca", "ca_key", "certificate", "key", "encrypted_key", "request",
                          "rsa_key")}
    key_type = ["rsa:2048"] if rsa else ["ec", "-pkeyopt", "ec_paramgen_curve:P-256"]
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", files["ca_key"], "-out",
                    files["ca"], "-days", "2", "-subj", "/CN=velkor test client CA"],
                   check=True, capture_output=True)
    subprocess.run(["openssl", "req", "-new", "-newkey", *key_type, "-nodes", "-keyout",
                    files["key"], "-out", files["request"], "-subj", "/CN=velkor test client"],
                   check=True, capture_output=True)
    subprocess.run(["openssl", "x509", "-req", "-in", files["request"], "-CA", files["ca"],
                    "-CAkey", files["ca_key"], "-set_serial", "7", "-days", "2", "-out",
                    files["certificate"]], check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs8", "-topk8", "-in", files["key"], "-out",
                    files["encrypted_key"], "-passout", "pass:" + password],
                   check=True, capture_output=True)
    if rsa:
        subprocess.run(["openssl", "rsa", "-in", files["key"], "-traditional", "-out",
                        files["rsa_key"]], check=True, capture_output=True)
    files["password_file"] = os.path.join(directory, "password.txt")
    with open(files["password_file"], "w") as file:
        file.write(password + "\n")
    return files
