"""A signed copy of a Windows program, as an organisation signs it before it
deploys it: Debian's osslsigncode signs with a certificate and key that
openssl makes for the occasion; the key is deleted once the copy is signed."""

import os
import re
import tempfile

from harness.commands import run_checked

# osslsigncode verify's line for the Authenticode hash it computes itself, as
# against the "Current message digest" that the signature carries.
CALCULATED_DIGEST = re.compile(r"^Calculated message digest\s*:\s*([0-9A-Fa-f]{64})\s*$",
                               re.MULTILINE)


def run(command):
    """Runs a command in this environment and returns its output as text."""
    return run_checked(command, None).decode(errors="replace")


def signed_copy(program, folder):
    """Signs a copy of `program` into `folder` with a new self-signed
    code-signing certificate; returns the copy's path and the certificate's,
    which verify() takes as the one trusted authority. The key lives only in
    a folder of its own while it signs (pytest keeps a test's folders)."""
    certificate = os.path.join(folder, "signer.pem")
    copy = os.path.join(folder, os.path.basename(program))
    with tempfile.TemporaryDirectory(prefix="qorvane_signer_") as private:
        key = os.path.join(private, "signer.key")
        run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=Qorvane test signer", "-addext", "extendedKeyUsage=codeSigning",
             "-keyout", key, "-out", certificate])
        run(["osslsigncode", "sign", "-certs", certificate, "-key", key, "-h", "sha256",
             "-in", program, "-out", copy])
    return copy, certificate


def verify(program, certificate):
    """osslsigncode's check of the signature against `certificate`: the
    Authenticode SHA-256 it calculated, in small letters, and all it printed.
    Raises when it does not accept the signature."""
    output = run(["osslsigncode", "verify", "-CAfile", certificate, "-in", program])
    found = CALCULATED_DIGEST.search(output)
    if "Signature verification: ok" not in output or not found:
        raise RuntimeError("osslsigncode did not accept the signature: " + output)
    return found.group(1).lower(), output
