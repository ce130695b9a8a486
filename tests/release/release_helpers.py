"""Building the release installer, throw-away code-signing keys, and tools/sign.sh.

Shared by the release tests and by the end-to-end run of a signed installer.
"""

from __future__ import annotations

import dataclasses
import http.server
import os
import pathlib
import subprocess
import tempfile
import threading

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXE_NAME = "Quillmoor.Installer.exe"
SIGN = ROOT / "tools" / "sign.sh"
DESCRIPTION = "Lanternfold Installer"


def run(cmd, **kwargs) -> subprocess.CompletedProcess:
    """Runs `cmd`; on failure the error carries what it printed."""
    result = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, **kwargs)
    if result.returncode:
        raise RuntimeError(f"{' '.join(map(str, cmd))} exited with {result.returncode}:\n"
                           f"{result.stdout}{result.stderr}")
    return result


def build_release(build_dir: pathlib.Path) -> pathlib.Path:
    """Configures and builds the release preset in `build_dir`."""
    run(["cmake", "--preset", "release", "-B", build_dir], cwd=ROOT)
    run(["cmake", "--build", build_dir], cwd=ROOT)
    return build_dir / EXE_NAME


# ---------------------------------------------------------------------------------------------
# Keys


@dataclasses.dataclass
class Identity:
    """A certificate and its private key, both PEM."""
    cert: pathlib.Path
    key: pathlib.Path

    def encrypted_key(self, password_file: pathlib.Path) -> pathlib.Path:
        out = self.key.with_name(self.key.stem + "-encrypted.pem")
        run(["openssl", "pkey", "-in", self.key, "-aes256", "-passout",
             f"file:{password_file}", "-out", out])
        return out

    def pkcs12(self, password_file: pathlib.Path, chain: "Ca") -> pathlib.Path:
        out = self.cert.with_suffix(".p12")
        run(["openssl", "pkcs12", "-export", "-inkey", self.key, "-in", self.cert,
             "-certfile", chain.cert, "-passout", f"file:{password_file}", "-out", out])
        return out


@dataclasses.dataclass
class Ca(Identity):
    @classmethod
    def make(cls, folder: pathlib.Path, name: str) -> "Ca":
        folder.mkdir(parents=True, exist_ok=True)
        cert, key = folder / f"{name}.pem", folder / f"{name}.key"
        run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256",
             "-keyout", key, "-out", cert, "-days", "30", "-subj", f"/CN={name}",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign"])
        return cls(cert, key)

    def issue(self, name: str, extended_key_usage: str) -> Identity:
        """A leaf certificate for `name`, signed by this CA, next to it."""
        folder = self.cert.parent
        cert, key, csr = (folder / f"{name}.pem", folder / f"{name}.key",
                          folder / f"{name}.csr")
        extensions = folder / f"{name}.ext"
        extensions.write_text("basicConstraints=CA:FALSE\n"
                              "keyUsage=critical,digitalSignature\n"
                              f"extendedKeyUsage={extended_key_usage}\n")
        run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", key,
             "-out", csr, "-subj", f"/CN={name}"])
        run(["openssl", "x509", "-req", "-in", csr, "-CA", self.cert, "-CAkey", self.key,
             "-CAcreateserial", "-out", cert, "-days", "30", "-sha256",
             "-extfile", extensions])
        return Identity(cert, key)


def code_signing_identity(folder: pathlib.Path) -> tuple[Ca, Identity]:
    """A throw-away CA and a code-signing certificate it issued."""
    ca = Ca.make(folder, "Lanternfold Test Code Signing CA")
    return ca, ca.issue("Lanternfold Test Publisher", "codeSigning")


# ---------------------------------------------------------------------------------------------
# An RFC 3161 timestamp server


class TimestampServer:
    """A local RFC 3161 timestamp authority over plain HTTP, answering with `openssl ts`."""

    def __init__(self, folder: pathlib.Path, ca: Ca):
        self.ca = ca
        self.identity = ca.issue("Lanternfold Test Timestamps", "critical,timeStamping")
        self.config = folder / "tsa.cnf"
        (folder / "tsa.serial").write_text("01\n")
        self.config.write_text(f"""\
[tsa]
default_tsa = tsa_config
[tsa_config]
serial = {folder / "tsa.serial"}
crypto_device = builtin
signer_cert = {self.identity.cert}
signer_key = {self.identity.key}
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
""")
        self.requests = 0
        self._lock = threading.Lock()
        self._httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self._thread = threading.Thread(target=self._httpd.serve_forever, daemon=True)
        self._thread.start()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self._httpd.server_address[1]}/"

    def _reply(self, query: bytes) -> bytes:
        with tempfile.TemporaryDirectory() as work:
            query_file, reply_file = pathlib.Path(work, "query"), pathlib.Path(work, "reply")
            query_file.write_bytes(query)
            # `openssl ts` serialises its serial file; one reply at a time.
            with self._lock:
                run(["openssl", "ts", "-reply", "-config", self.config,
                     "-queryfile", query_file, "-out", reply_file])
                self.requests += 1
            return reply_file.read_bytes()

    def _handler(self):
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):  # noqa: N802 (the standard library's name)
                query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                reply = server._reply(query)
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        return Handler

    def close(self):
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join()


# ---------------------------------------------------------------------------------------------
# Signing and verifying


def sign(unsigned: pathlib.Path, signed: pathlib.Path, *options,
         password: str | None = None) -> subprocess.CompletedProcess:
    """tools/sign.sh; `password`, if given, goes through its environment variable."""
    return run_sign([*options, unsigned, signed], password)


def run_sign(arguments, password: str | None = None) -> subprocess.CompletedProcess:
    """tools/sign.sh with exactly `arguments`."""
    env = {k: v for k, v in os.environ.items() if k != "INSTALLER_SIGN_PASSWORD"}
    if password is not None:
        env["INSTALLER_SIGN_PASSWORD"] = password
    return subprocess.run([str(SIGN), *map(str, arguments)], capture_output=True, text=True,
                          env=env)


def verify(signed: pathlib.Path, ca: pathlib.Path,
           timestamp_ca: pathlib.Path | None = None) -> subprocess.CompletedProcess:
    """`osslsigncode verify` trusting `ca` alone (and `timestamp_ca` for the countersignature;
    by default the same CA, so that nothing of the system's trust store is consulted)."""
    return subprocess.run(["osslsigncode", "verify", "-CAfile", str(ca),
                           "-TSA-CAfile", str(timestamp_ca or ca), "-in", str(signed)],
                          capture_output=True, text=True)
