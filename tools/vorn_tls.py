"""Test certificate authority and localhost server certificate for the download service,
and code-signing certificates issued by the same authority for signing test programs.

Wine's WinHTTP rejects certificates that name only an IP address, so the server
certificate is issued for DNS:localhost (127.0.0.1 is added for other clients).

    tools/vorn_tls.py sign DIR PUBLISHER PROGRAM...   signs each program in place
"""
import fcntl
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import NamedTuple

CA_DAYS = 5 * 365
SERVER_DAYS = 3 * 365
RENEW_SECONDS = 30 * 86400

_CONFIG = """\
[req]
distinguished_name = dn
prompt = no
[dn]
CN = VORN Test CA
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server_ext]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[code_ext]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""


class TlsFiles(NamedTuple):
    ca: Path
    ca_key: Path
    cert: Path
    key: Path


def ensure_test_tls(directory) -> TlsFiles:
    """Returns the CA and server files in directory, generating them if absent."""
    directory = Path(directory).resolve()
    directory.mkdir(parents=True, exist_ok=True)
    files = TlsFiles(directory / "ca.pem", directory / "ca.key",
                     directory / "server.pem", directory / "server.key")
    # Test runs started side by side share the directory; without the lock one
    # run could pair its CA with a server certificate signed by another's.
    with open(directory / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not _usable(files):
            _generate(files)
    return files


def _usable(files):
    if not all(path.is_file() for path in files):
        return False
    # Renew ahead of expiry rather than fail a test run on the day.
    return all(_openssl("x509", "-noout", "-checkend", RENEW_SECONDS, "-in", cert,
                        check=False).returncode == 0
               for cert in (files.ca, files.cert))


def _generate(files):
    with tempfile.TemporaryDirectory(prefix=".gen-", dir=files.ca.parent) as tmp:
        tmp = Path(tmp)
        config = tmp / "openssl.cnf"
        config.write_text(_CONFIG)
        staged = TlsFiles(*(tmp / path.name for path in files))
        csr = tmp / "server.csr"
        _openssl("req", "-x509", "-config", config, "-extensions", "ca_ext",
                 "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", CA_DAYS,
                 "-keyout", staged.ca_key, "-out", staged.ca)
        _issue(config, staged.ca, staged.ca_key, "/CN=localhost", "server_ext", staged.key, staged.cert)
        # Certificates last: a set interrupted while moving still fails _usable
        # and is regenerated next time.
        for name in ("ca_key", "key", "ca", "cert"):
            os.replace(getattr(staged, name), getattr(files, name))


def _issue(config, ca, ca_key, subject, extensions, key, cert):
    csr = Path(cert).with_suffix(".csr")
    _openssl("req", "-new", "-config", config, "-subj", subject, "-newkey", "rsa:2048", "-nodes",
             "-keyout", key, "-out", csr)
    _openssl("x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-set_serial", "0x" + os.urandom(8).hex(),
             "-sha256", "-days", SERVER_DAYS, "-extfile", config, "-extensions", extensions, "-out", cert)


def sign(program, directory, publisher):
    """Signs program in place with osslsigncode (SHA-256, no timestamp) under a code-signing
    certificate for CN=publisher issued by the test CA in directory, made when none verifies."""
    tls = ensure_test_tls(directory)
    stem = tls.ca.parent / f"code-{hashlib.sha256(publisher.encode()).hexdigest()[:16]}"
    cert, key = stem.with_suffix(".pem"), stem.with_suffix(".key")
    with open(tls.ca.parent / ".lock", "w") as lock, tempfile.TemporaryDirectory(dir=tls.ca.parent) as tmp:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if _openssl("verify", "-CAfile", tls.ca, cert, check=False).returncode != 0:
            (Path(tmp) / "openssl.cnf").write_text(_CONFIG)
            _issue(Path(tmp) / "openssl.cnf", tls.ca, tls.ca_key, f"/CN={publisher}", "code_ext",
                   Path(tmp) / key.name, Path(tmp) / cert.name)
            for made in (key, cert):
                os.replace(Path(tmp) / made.name, made)
        out = Path(tmp) / "signed"
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256", "-in", program,
                        "-out", out], check=True, capture_output=True)
        shutil.copyfile(out, program)


def _openssl(*args, check=True):
    result = subprocess.run(["openssl", *map(str, args)], capture_output=True, text=True)
    if check and result.returncode != 0:
        raise RuntimeError(f"openssl {args[0]} failed: {result.stderr.strip()}")
    return result


if __name__ == "__main__":
    if sys.argv[1:2] != ["sign"] or len(sys.argv) < 5:
        sys.exit(__doc__)
    for path in sys.argv[4:]:
        sign(path, sys.argv[2], sys.argv[3])
