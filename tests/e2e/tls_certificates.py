"""Certificates for https tests, made with the openssl command."""

import os
import subprocess


def make_certificate(directory, names, days=2):
    """A self-signed ECDSA P-256 certificate for names (host names, IPv4 or
    IPv6 addresses); returns (certificate file, key file), both PEM."""
    certificate = os.path.join(directory, "cert.pem")
    key = os.path.join(directory, "key.pem")
    entries = ",".join(("IP:" if name[0].isdigit() or ":" in name else "DNS:") + name
                       for name in names)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", certificate,
                    "-days", str(days), "-subj", "/CN=" + names[0],
                    "-addext", "subjectAltName=" + entries],
                   check=True, capture_output=True)
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


def make_expired_certificate(directory, name):
    """A self-signed ECDSA P-256 certificate for name that was valid for one
    day in 2020; returns (certificate file, key file)."""
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
    subprocess.run(["openssl", "ca", "-config", config, "-selfsign", "-keyfile", key, "-in",
                    request, "-out", certificate, "-startdate", "20200101000000Z", "-enddate",
                    "20200102000000Z", "-batch", "-notext"], check=True, capture_output=True)
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


def make_chain(directory, name, days=2):
    """A root CA, an intermediate CA it signs and a server certificate for
    name the intermediate signs, all ECDSA P-256. Returns a dict of PEM files:
    root, intermediate, and server (the server's certificate followed by the
    intermediate, as a server sends them) with server_key."""
    os.makedirs(directory, exist_ok=True)
    extensions = os.path.join(directory, "extensions.cnf")
    with open(extensions, "w") as file:
        file.write(CHAIN_EXTENSIONS.format(name=name))
    files = {}
    issuer = None
    for role, subject, section in (("root", "velkor test root", "authority"),
                                   ("intermediate", "velkor test intermediate", "authority"),
                                   ("leaf", name, "server")):
        certificate = os.path.join(directory, role + ".pem")
        key = os.path.join(directory, role + ".key")
        request = os.path.join(directory, role + ".csr")
        subprocess.run(["openssl", "req", "-new", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", request,
                        "-subj", "/CN=" + subject], check=True, capture_output=True)
        signer = ["-signkey", key] if issuer is None else ["-CA", issuer[0], "-CAkey", issuer[1],
                                                            "-set_serial", str(len(files) + 1)]
        subprocess.run(["openssl", "x509", "-req", "-in", request, "-out", certificate,
                        "-days", str(days), "-extfile", extensions, "-extensions", section,
                        *signer], check=True, capture_output=True)
        files[role] = certificate
        issuer = (certificate, key)
    server = os.path.join(directory, "server.pem")
    with open(server, "w") as file:
        for role in ("leaf", "intermediate"):
            with open(files[role]) as part:
                file.write(part.read())
    return {"root": files["root"], "intermediate": files["intermediate"], "server": server,
            "server_key": issuer[1]}
