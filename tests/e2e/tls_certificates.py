"""Certificates for https tests, made with the openssl command."""

import os
import subprocess


def make_certificate(directory, names, days=2):
    """A self-signed ECDSA P-256 certificate for names (host names or IPv4
    addresses); returns (certificate file, key file), both PEM."""
    certificate = os.path.join(directory, "cert.pem")
    key = os.path.join(directory, "key.pem")
    entries = ",".join(("IP:" if name[0].isdigit() else "DNS:") + name for name in names)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", certificate,
                    "-days", str(days), "-subj", "/CN=" + names[0],
                    "-addext", "subjectAltName=" + entries],
                   check=True, capture_output=True)
    return certificate, key
