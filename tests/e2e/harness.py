"""Runs the real installer under Wine against a real local HTTPS server.

The pieces:
- `Tls`: a throw-away CA and a certificate for localhost, made with openssl.
- `WinePrefix`: a private prefix with the null display driver, the CA trusted inside it only,
  a stand-in App Installer (helpers/handler.c) and relay tracing of the calls that matter.
- `Server`: an HTTPS server whose routes, and whether it listens at all, each case controls. It
  records every request with its time.
- `run_installer`: one run of the installer, with a helper that reads and answers its message
  boxes, and a transcript of its own Windows calls taken from Wine's relay trace.
"""

from __future__ import annotations

import dataclasses
import getpass
import gzip
import http.server
import os
import pathlib
import random
import re
import select
import shutil
import socket
import ssl
import struct
import subprocess
import threading
import time
from typing import Callable

import pefile

ROOT = pathlib.Path(__file__).resolve().parents[2]
HELPERS = pathlib.Path(__file__).resolve().parent / "helpers"
MINGW = "x86_64-w64-mingw32-"
EXE_NAME = "Quillmoor.Installer.exe"
MANIFEST_PATH = "/downloads/Lanternfold-8.appinstaller"
CAPTION = "Lanternfold Installer"

# The calls a transcript keeps, by the name the relay trace prints.
TRACED = ["URLDownloadToFileW", "Sleep", "ShellExecuteExW", "UrlCombineW", "MessageBoxW",
          "GetTempPathW", "RegisterApplicationRestart", "LoadLibraryExW", "FreeLibrary",
          "SetDefaultDllDirectories"]
# The calls of the download sequence itself, without the framework's start-up work.
BOOTSTRAP = ["GetTempPathW", "URLDownloadToFileW", "Sleep", "ShellExecuteExW", "UrlCombineW",
             "MessageBoxW"]
PACKAGE_TYPES = [".appinstaller", ".msixbundle", ".msix", ".appxbundle", ".appx"]


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition: Callable[[], bool], seconds: float):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError(f"gave up waiting after {seconds} s")
        time.sleep(0.05)


def run(cmd, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run(cmd, check=True, **kwargs)


# ---------------------------------------------------------------------------------------------
# Building


# The installer under test gives up on a transfer that has received nothing for this long; the
# one that ships waits 60 s (pinned by the native tests). Under Wine the download service looks
# at the installer's stall check only every 5 s while it waits, so a healthy transfer can go
# 10 s between two signs of life; a third of a minute keeps the stalled rows quick and never
# cuts a moving one.
STALL_TIMEOUT_MS = 15000


def build_installer(build_dir: pathlib.Path, host: str,
                    stall_timeout_ms: int = STALL_TIMEOUT_MS) -> pathlib.Path:
    """Configures and builds the installer for `host` in its own build folder."""
    run(["cmake", "--preset", "windows-e2e", "-B", str(build_dir),
         f"-DINSTALLER_DOWNLOAD_HOST={host}", f"-DINSTALLER_STALL_TIMEOUT_MS={stall_timeout_ms}"],
        cwd=ROOT, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    run(["cmake", "--build", str(build_dir)], cwd=ROOT, stdout=subprocess.DEVNULL)
    return build_dir / EXE_NAME


def build_helpers(out: pathlib.Path) -> dict[str, pathlib.Path]:
    out.mkdir(parents=True, exist_ok=True)
    flags = ["-O2", "-Wall", "-Werror", "-static", "-s"]
    built = {}
    for name, extra in [("trust_ca", ["-municode", "-lcrypt32"]), ("dismiss", ["-municode"]),
                        ("handler", ["-municode", "-mwindows"]), ("hold", ["-municode"]),
                        ("static_urlmon", ["-municode", "-lurlmon"])]:
        target = out / f"{name}.exe"
        run([MINGW + "gcc", *flags, "-o", str(target), str(HELPERS / f"{name}.c"), *extra])
        built[name] = target
    res = out / "satellite.res.o"
    run([MINGW + "windres", str(HELPERS / "satellite.rc"), "-O", "coff", "-o", str(res)])
    built["satellite"] = out / "satellite.dll"
    run([MINGW + "gcc", "-shared", "-nostdlib", "-O2", "-Wall", "-Werror", "-s", "-o",
         str(built["satellite"]), str(HELPERS / "satellite.c"), str(res), "-Wl,-e,DllMain",
         "-lkernel32"])
    built["planted"] = out / "planted.dll"
    run([MINGW + "gcc", "-shared", "-nostdlib", "-O2", "-Wall", "-Werror", "-s", "-o",
         str(built["planted"]), str(HELPERS / "planted.c"), "-Wl,-e,DllMain", "-lkernel32"])
    return built


# ---------------------------------------------------------------------------------------------
# TLS


@dataclasses.dataclass
class Tls:
    ca_pem: pathlib.Path
    ca_der: pathlib.Path
    cert: pathlib.Path
    key: pathlib.Path

    @classmethod
    def make(cls, folder: pathlib.Path, host: str = "localhost", days: int = 30,
             ca: "Tls | None" = None) -> "Tls":
        """A CA (or `ca`'s) and a server certificate for `host` signed by it."""
        folder.mkdir(parents=True, exist_ok=True)
        quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
        if ca is None:
            ca_key, ca_pem = folder / "ca.key", folder / "ca.pem"
            run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256",
                 "-keyout", ca_key, "-out", ca_pem, "-days", "30",
                 "-subj", "/CN=Lanternfold Installer Test CA",
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign"], **quiet)
        else:
            ca_key, ca_pem = ca.ca_pem.with_suffix(".key"), ca.ca_pem
        key, csr, cert = folder / "server.key", folder / "server.csr", folder / "server.pem"
        ext = folder / "server.ext"
        san = f"IP:{host}" if re.fullmatch(r"[\d.]+", host) else f"DNS:{host}"
        ext.write_text(f"subjectAltName={san}\nextendedKeyUsage=serverAuth\n"
                       "basicConstraints=CA:FALSE\n")
        run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", key,
             "-out", csr, "-subj", f"/CN={host}"], **quiet)
        run(["openssl", "x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key,
             "-CAcreateserial", "-out", cert, "-days", str(days), "-sha256",
             "-extfile", ext], **quiet)
        ca_der = folder / "ca.der"
        run(["openssl", "x509", "-in", ca_pem, "-outform", "der", "-out", ca_der], **quiet)
        return cls(ca_pem, ca_der, cert, key)


# ---------------------------------------------------------------------------------------------
# HTTPS server


@dataclasses.dataclass
class Response:
    body: bytes = b""
    status: int = 200
    headers: dict[str, str] = dataclasses.field(default_factory=dict)


class Sequence:
    """Successive answers to successive requests; the last one repeats."""

    def __init__(self, *answers):
        self.answers = list(answers)
        self.served = 0

    def __call__(self, handler):
        answer = self.answers[min(self.served, len(self.answers) - 1)]
        self.served += 1
        serve(handler, answer)


@dataclasses.dataclass
class Cut:
    """A body cut off before its declared length: closed cleanly, or reset mid-way."""
    body: bytes
    declared: int
    reset: bool = False

    def __call__(self, handler):
        handler.send_response(200)
        handler.send_header("Content-Length", str(self.declared))
        handler.end_headers()
        handler.wfile.write(self.body)
        handler.wfile.flush()
        if self.reset:
            # SO_LINGER with a zero timeout turns the close into a TCP reset.
            handler.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                          struct.pack("ii", 1, 0))
        handler.close_connection = True


@dataclasses.dataclass
class Slow:
    """An answer that starts only after a delay."""
    seconds: float
    answer: "Response"

    def __call__(self, handler):
        time.sleep(self.seconds)
        serve(handler, self.answer)


def redirect(location: str) -> Response:
    return Response(b"", 302, {"Location": location})


@dataclasses.dataclass
class LargeFile:
    """A body streamed from a file on disk, which may be sparse and larger than memory."""
    path: pathlib.Path

    def __call__(self, handler):
        size = self.path.stat().st_size
        handler.send_response(200)
        handler.send_header("Content-Length", str(size))
        handler.end_headers()
        with self.path.open("rb") as body:
            shutil.copyfileobj(body, handler.wfile, 1 << 20)


@dataclasses.dataclass
class Stall:
    """Sends the headers (unless `headers` is false) and `sent` of a body of `declared` bytes,
    then nothing more, with the connection held open until the server moves on to another case.
    """
    declared: int
    sent: bytes = b""
    headers: bool = True

    def __call__(self, handler):
        if self.headers:
            handler.send_response(200)
            handler.send_header("Content-Length", str(self.declared))
            handler.end_headers()
            handler.wfile.write(self.sent)
            handler.wfile.flush()
        handler.owner.released.wait(600)
        handler.close_connection = True


@dataclasses.dataclass
class Trickle:
    """A whole body with its length, whose first `slow` bytes come one at a time, `interval`
    seconds apart: a transfer that is slow but never stops."""
    body: bytes
    slow: int
    interval: float

    def __call__(self, handler):
        handler.send_response(200)
        handler.send_header("Content-Length", str(len(self.body)))
        handler.end_headers()
        handler.wfile.flush()
        for i in range(self.slow):
            time.sleep(self.interval)
            handler.wfile.write(self.body[i:i + 1])
            handler.wfile.flush()
        handler.wfile.write(self.body[self.slow:])


@dataclasses.dataclass
class Gzip:
    """The body gzipped when the request accepts gzip, as web servers do; plain otherwise. The
    encodings sent are recorded on the server."""
    body: bytes

    def __call__(self, handler):
        accepted = "gzip" in handler.headers.get("Accept-Encoding", "")
        # mtime 0: the same body always compresses to the same bytes.
        body = gzip.compress(self.body, mtime=0) if accepted else self.body
        handler.owner.encodings.append("gzip" if accepted else "identity")
        handler.send_response(200)
        if accepted:
            handler.send_header("Content-Encoding", "gzip")
        handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        handler.wfile.write(body)


@dataclasses.dataclass
class Chunked:
    """An HTTP/1.1 body in chunks of `size` bytes, with no Content-Length."""
    body: bytes
    size: int = 1000

    def __call__(self, handler):
        handler.protocol_version = "HTTP/1.1"
        handler.send_response(200)
        handler.send_header("Transfer-Encoding", "chunked")
        handler.send_header("Connection", "close")
        handler.end_headers()
        for i in range(0, len(self.body), self.size):
            chunk = self.body[i:i + self.size]
            handler.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
        handler.wfile.write(b"0\r\n\r\n")
        handler.close_connection = True


@dataclasses.dataclass
class CloseDelimited:
    """An HTTP/1.0 body with no length, ended by closing the connection: with TLS's
    close_notify first (`notify`), or with a bare FIN."""
    body: bytes
    notify: bool = True

    def __call__(self, handler):
        handler.send_response(200)
        handler.end_headers()
        handler.wfile.write(self.body)
        handler.wfile.flush()
        connection = handler.connection
        connection.settimeout(5)
        try:
            if self.notify:
                connection.unwrap()
            else:
                connection.shutdown(socket.SHUT_RDWR)
        except (OSError, ssl.SSLError):
            pass
        handler.close_connection = True


def generated_block(index: int) -> bytes:
    """Block `index` (1 MiB) of a generated body: a fixed pseudo-random MiB with the block's
    number written over its first 8 bytes, so that a block lost, repeated or moved shows."""
    return index.to_bytes(8, "little") + _PATTERN[8:]


_PATTERN = random.Random(20261211).randbytes(1 << 20)
BLOCK = len(_PATTERN)


@dataclasses.dataclass
class Transfer:
    """One body a Generated answer sent: when its headers went out, when its last byte did, and
    how many body bytes the connection took."""
    path: str
    started: float
    ended: float
    sent: int


@dataclasses.dataclass
class Generated:
    """A body of `size` bytes made block by block as it is sent, so that no file of that size
    has to exist on the server's side; with `cut_at`, the connection closes after that many
    bytes. Each answer is recorded on the server as a Transfer."""
    size: int
    cut_at: int | None = None

    def __call__(self, handler):
        started = time.monotonic()
        sent = 0
        end = self.size if self.cut_at is None else self.cut_at
        try:
            handler.send_response(200)
            handler.send_header("Content-Length", str(self.size))
            handler.end_headers()
            for index in range(-(-end // BLOCK)):
                block = generated_block(index)[:min(BLOCK, end - index * BLOCK)]
                handler.wfile.write(block)
                sent += len(block)
            handler.wfile.flush()
        finally:
            handler.owner.transfers.append(
                Transfer(handler.path, started, time.monotonic(), sent))
        handler.close_connection = True


class PeakDiskUse:
    """The most disk in use on `path`'s file system while it runs, above where it began."""

    def __init__(self, path: pathlib.Path):
        self._path = path
        self._start = shutil.disk_usage(path).used
        self.peak = 0
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._sample, daemon=True)
        self._thread.start()

    def _sample(self):
        while not self._done.wait(0.05):
            self.peak = max(self.peak, shutil.disk_usage(self._path).used - self._start)

    def stop(self) -> int:
        self._done.set()
        self._thread.join()
        return self.peak


def matches_generated(path: pathlib.Path, size: int) -> bool:
    """Whether the file at `path` is exactly Generated(size)'s body."""
    if path.stat().st_size != size:
        return False
    with path.open("rb") as file:
        for index in range(-(-size // BLOCK)):
            expected = generated_block(index)[:min(BLOCK, size - index * BLOCK)]
            if file.read(len(expected)) != expected:
                return False
    return True


def serve(handler, answer):
    if callable(answer):
        answer(handler)
        return
    handler.send_response(answer.status)
    headers = {"Content-Type": "application/octet-stream",
               "Content-Length": str(len(answer.body)), **answer.headers}
    for name, value in headers.items():
        handler.send_header(name, value)
    handler.end_headers()
    handler.wfile.write(answer.body)


@dataclasses.dataclass
class Request:
    time: float
    path: str


class Server:
    """A local HTTPS server (plain HTTP without `tls`) that listens only while a case wants it
    to."""

    def __init__(self, port: int, tls: Tls | None):
        self.port = port
        self.routes: dict[str, Response | Callable[[http.server.BaseHTTPRequestHandler], None]] = {}
        self.requests: list[Request] = []
        # The content encodings that Gzip answers sent, in order.
        self.encodings: list[str] = []
        # The bodies that Generated answers sent, in order.
        self.transfers: list[Transfer] = []
        # Set when the server moves on to another case, which ends every stalled answer.
        self.released = threading.Event()
        self.tls = tls
        self._context = self._make_context(tls)
        self._httpd: http.server.ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None
        self._lock = threading.Lock()

    @property
    def scheme(self) -> str:
        return "https" if self.tls else "http"

    def _handler(self):
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            owner = server

            def do_GET(self):  # noqa: N802 (the standard library's name)
                path = self.path.split("?", 1)[0]
                with server._lock:
                    server.requests.append(Request(time.monotonic(), self.path))
                try:
                    serve(self, server.routes.get(path) or Response(b"not found", 404))
                except (ConnectionError, ssl.SSLError):
                    pass  # the client gave up; that is its business

            def log_message(self, *args):
                pass

        return Handler

    @staticmethod
    def _make_context(tls: Tls | None) -> ssl.SSLContext | None:
        if tls is None:
            return None
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(tls.cert, tls.key)
        return context

    def open(self):
        if self._httpd:
            return
        httpd = http.server.ThreadingHTTPServer(("127.0.0.1", self.port), self._handler())
        httpd.daemon_threads = True
        if self._context:
            httpd.socket = self._context.wrap_socket(httpd.socket, server_side=True)
        self._httpd = httpd
        self._thread = threading.Thread(target=httpd.serve_forever, daemon=True)
        self._thread.start()

    def close(self):
        self.released.set()
        if not self._httpd:
            return
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join()
        self._httpd = None

    def reset(self, routes=None, listening=True, tls: Tls | None = None):
        """New routes, an empty request log, and the certificate `tls` (else the usual one)."""
        wanted = tls or self.tls
        if wanted is not getattr(self, "_serving_tls", self.tls):
            self.close()
            self._context = self._make_context(wanted)
        self.released.set()
        self.released = threading.Event()
        self._serving_tls = wanted
        self.routes = dict(routes or {})
        with self._lock:
            self.requests = []
            self.encodings = []
            self.transfers = []
        self.open() if listening else self.close()


class ConnectProxy:
    """A web proxy that only tunnels: it answers CONNECT host:port by connecting to that port on
    this machine and relaying bytes both ways, or, when `refuse` is set (or the target is not
    `only`), with 407 Proxy Authentication Required. Any other request gets 405. Records the
    target of every CONNECT."""

    def __init__(self, refuse: bool = False, only: str | None = None):
        # With `only`, every other target is refused.
        self.refuse = refuse
        self.only = only
        self.tunnels: list[str] = []
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._closed = threading.Event()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self._closed.is_set():
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client: socket.socket):
        with client:
            head = b""
            while b"\r\n\r\n" not in head:
                data = client.recv(4096)
                if not data:
                    return
                head += data
            method, target = head.split(b" ", 2)[:2]
            if method != b"CONNECT":
                client.sendall(b"HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n")
                return
            self.tunnels.append(target.decode())
            if self.refuse or (self.only and target.decode() != self.only):
                body = b"<h1>Proxy authentication required</h1>"
                client.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                               b'Proxy-Authenticate: Basic realm="office"\r\n'
                               b"Content-Type: text/html\r\n"
                               b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
                return
            port = int(target.rsplit(b":", 1)[1])
            with socket.create_connection(("127.0.0.1", port)) as upstream:
                client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                self._relay(client, upstream)

    def _relay(self, a: socket.socket, b: socket.socket):
        peers = {a: b, b: a}
        while not self._closed.is_set():
            readable, _, _ = select.select(list(peers), [], [], 1)
            for source in readable:
                data = source.recv(1 << 16)
                if not data:
                    return
                peers[source].sendall(data)

    def close(self):
        self._closed.set()
        self._listener.close()


# ---------------------------------------------------------------------------------------------
# Wine


def windows_path(path: pathlib.Path | str) -> str:
    """The Windows name of a Linux path, through drive Z:."""
    return "Z:" + str(path).replace("/", "\\")


def reg_file(path: pathlib.Path, body: str):
    """A file for regedit in its Unicode format, which carries names outside ASCII."""
    text = "Windows Registry Editor Version 5.00\r\n\r\n" + body.strip().replace("\n", "\r\n")
    path.write_bytes(b"\xff\xfe" + (text + "\r\n").encode("utf-16-le"))


def reg_string(value: str) -> str:
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_expand_string(value: str) -> str:
    """A REG_EXPAND_SZ value, so that %VARIABLES% in it are expanded when read."""
    return "hex(2):" + ",".join(f"{b:02x}" for b in (value + "\0").encode("utf-16-le"))


class WinePrefix:
    def __init__(self, path: pathlib.Path):
        self.path = path
        self.env = {
            **os.environ,
            "WINEPREFIX": str(path),
            "WINEDEBUG": "-all",
            "WINEARCH": "win64",
            # A fixed UI language (U.S. English), so that satellite names are predictable, and
            # UTF-8 file names. C.UTF-8 is on every Debian machine; under a locale the machine
            # lacks, Wine cannot start a program from a folder with non-ASCII letters, and the
            # download service writes nothing into one.
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
            # No prompts to install Mono or Gecko: nothing here needs them.
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
        }
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.user = getpass.getuser()

    @property
    def temp(self) -> pathlib.Path:
        return self.path / "drive_c" / "users" / self.user / "Temp"

    @property
    def temp_windows(self) -> str:
        return f"C:\\users\\{self.user}\\Temp\\"

    @property
    def web_cache(self) -> pathlib.Path:
        """Where Wine's download service keeps its copy of every download."""
        return (self.path / "drive_c" / "users" / self.user / "AppData" / "Local" / "Microsoft" /
                "Windows" / "INetCache")

    def wine(self, *args, env=None, **kwargs) -> subprocess.CompletedProcess:
        return subprocess.run(["wine", *map(str, args)], env=env or self.env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kwargs)

    def regedit(self, path: pathlib.Path):
        self.wine("regedit", "/S", windows_path(path), check=True)

    def create(self, helpers: dict[str, pathlib.Path], tls: Tls):
        if self.path.exists():
            subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
            shutil.rmtree(self.path)
        self.path.mkdir(parents=True)
        # Keep one quiet wineserver, with Wine's own services, for the whole session: processes
        # that start later then inherit nothing from a traced run.
        run(["wineserver", "-p"], env=self.env)
        run(["wineboot", "-i"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.helpers = helpers
        settings = self.path / "settings.reg"
        reg_file(settings, f"""
[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]
"Graphics"="null"

[HKEY_CURRENT_USER\\Software\\Wine\\Debug]
"RelayInclude"={reg_string(";".join(TRACED))}
""")
        self.regedit(settings)
        # Wine's desktop process started before the display setting existed; start everything
        # again under it, still quietly.
        run(["wineserver", "-k"], env=self.env)
        run(["wineserver", "-w"], env=self.env)
        run(["wineserver", "-p"], env=self.env)
        run(["wineboot"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.wine(helpers["trust_ca"], windows_path(tls.ca_der), check=True)
        self.set_associations(set())

    def set_associations(self, types: set[str]):
        """Makes the stand-in App Installer the handler of `types`, and of nothing else."""
        handler = windows_path(self.helpers["handler"])
        lines = []
        for ext in PACKAGE_TYPES:
            prog_id = "Lanternfold.Test" + ext
            lines.append(f"[-HKEY_CLASSES_ROOT\\{ext}]\n[-HKEY_CLASSES_ROOT\\{prog_id}]\n")
            if ext in types:
                command = reg_string(f'"{handler}" "%1"')
                lines.append(f"[HKEY_CLASSES_ROOT\\{ext}]\n@={reg_string(prog_id)}\n\n"
                             f"[HKEY_CLASSES_ROOT\\{prog_id}\\shell\\open\\command]\n@={command}\n")
        path = self.path / "associations.reg"
        reg_file(path, "\n".join(lines))
        self.regedit(path)
        self.associations = set(types)

    def set_user_environment(self, values: dict[str, str]):
        """Sets variables of HKCU\\Environment, as expandable strings like Wine's own."""
        body = "[HKEY_CURRENT_USER\\Environment]\n" + "".join(
            f"{reg_string(name)}={reg_expand_string(value)}\n" for name, value in values.items())
        path = self.path / "environment.reg"
        reg_file(path, body)
        self.regedit(path)

    def set_proxy(self, port: int | None):
        """Makes 127.0.0.1:`port` the system's web proxy for every scheme; None turns it off."""
        key = "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings]\n"
        if port is None:
            body = key + '"ProxyEnable"=dword:00000000\n"ProxyServer"=-\n'
        else:
            body = key + f'"ProxyEnable"=dword:00000001\n"ProxyServer"="127.0.0.1:{port}"\n'
        path = self.path / "proxy.reg"
        reg_file(path, body)
        self.regedit(path)

    def opened_log(self) -> pathlib.Path:
        return self.helpers["handler"].parent / "opened.log"

    def shutdown(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)


# ---------------------------------------------------------------------------------------------
# Relay transcript

LINE = re.compile(r"^(?P<t>\d+\.\d+):(?P<pid>[0-9a-f]+):(?P<tid>[0-9a-f]+):"
                  r"(?P<kind>Call|Ret) +(?P<module>[\w.]+)\.(?P<fn>\w+)\((?P<args>.*)\)"
                  r"(?: retval=(?P<retval>[0-9a-f]+))? ret=(?P<ret>[0-9a-f]+)$")
LOADED = re.compile(r"^[\d.]+:(?P<pid>[0-9a-f]+):[0-9a-f]+:trace:loaddll:\w+ Loaded "
                    r"L\"(?P<path>.*)\" at (?P<base>[0-9a-f]+)")
ARG = re.compile(r'([0-9a-f]+)(?: L"((?:[^"\\]|\\.)*)")?,?')


def unescape(text: str) -> str:
    """A string as the relay trace prints it, back as it was. Wine writes a code unit outside
    ASCII as a backslash and four hexadecimal digits (older versions put an x between)."""
    def one(m):
        s = m.group(0)
        if len(s) >= 5:
            return chr(int(s[-4:], 16))
        return {"\\n": "\n", "\\r": "\r", "\\t": "\t"}.get(s, s[1:])
    return re.sub(r"\\\\|\\x?[0-9a-fA-F]{4}|\\.", one, text)


@dataclasses.dataclass
class Call:
    name: str
    args: list[int]
    strings: list[str | None]
    started: float
    retval: int | None = None
    ended: float | None = None


class Transcript:
    """The traced calls that the installer's own code made, in order."""

    def __init__(self, exe_name: str, exe_size: int,
                 on_call: Callable[[Call], None] | None = None):
        self.calls: list[Call] = []
        self._exe_name = exe_name.lower()
        self.lines: list[str] = []
        self._exe_size = exe_size
        self.pid = None
        self._base = None
        self._open: dict[str, Call] = {}
        self._on_call = on_call

    def feed(self, line: str):
        self.lines.append(line)
        if self.pid is None:
            m = LOADED.match(line)
            if m and unescape(m.group("path")).lower().endswith("\\" + self._exe_name):
                self.pid, self._base = m.group("pid"), int(m.group("base"), 16)
            return
        m = LINE.match(line)
        if not m or m.group("pid") != self.pid:
            return
        ret = int(m.group("ret"), 16)
        if not self._base <= ret < self._base + self._exe_size:
            return
        name = m.group("fn")
        if m.group("kind") == "Call":
            args = list(ARG.finditer(m.group("args")))
            call = Call(name, [int(a.group(1), 16) for a in args],
                        [None if a.group(2) is None else unescape(a.group(2)) for a in args],
                        float(m.group("t")))
            self._open[name] = call
            self.calls.append(call)
        elif name in self._open:
            call = self._open.pop(name)
            call.retval = int(m.group("retval") or "0", 16)
            call.ended = float(m.group("t"))
            if self._on_call:
                self._on_call(call)


def describe(call: Call, satellite: set[int] | None = None) -> str:
    """One line per call, in the words the tests compare."""
    a, s, r = call.args, call.strings, call.retval
    if call.name == "GetTempPathW":
        return f"GetTempPathW({a[0]})"
    if call.name == "URLDownloadToFileW":
        return f"URLDownloadToFileW({s[1]}, {s[2]}) = {r:08x}"
    if call.name == "Sleep":
        return f"Sleep({a[0]})"
    if call.name == "ShellExecuteExW":
        return f"ShellExecuteExW() = {r}"
    if call.name == "UrlCombineW":
        return f"UrlCombineW({s[0]}, {s[1]}, flags={a[4]}) = {r:08x}"
    if call.name == "MessageBoxW":
        return f"MessageBoxW({s[1]}, {s[2]}, {a[3]:#x})"
    if call.name == "RegisterApplicationRestart":
        return f"RegisterApplicationRestart({s[0]}, {a[1]})"
    if call.name == "LoadLibraryExW":
        return f"LoadLibraryExW({s[0]}, {a[2]:#x}) = {'module' if r else 'null'}"
    if call.name == "SetDefaultDllDirectories":
        return f"SetDefaultDllDirectories({a[0]:#x}) = {r}"
    if call.name == "FreeLibrary":
        return "FreeLibrary(satellite)" if satellite and a[0] in satellite else \
            f"FreeLibrary({a[0]:#x})"
    return f"{call.name}(...)"


# ---------------------------------------------------------------------------------------------
# One run


@dataclasses.dataclass
class RunResult:
    exit_code: int | None  # None: it did not end in time
    loaded: list[str]  # every module the installer's process loaded, by full path
    calls: list[Call]
    boxes: list[tuple[str, str]]  # (caption, text) of every dialog box, the shell's included
    opened: list[str]  # what the stand-in App Installer was asked to open
    trace: list[str]

    @property
    def satellite_handles(self) -> set[int]:
        """Modules mapped as data: the satellite probe's loads, not urlmon's."""
        return {c.retval for c in self.calls
                if c.name == "LoadLibraryExW" and c.retval and c.args[2] in (0x2, 0x60)}

    def transcript(self, names=None) -> list[str]:
        names = set(names or TRACED)
        return [describe(c, self.satellite_handles) for c in self.calls if c.name in names]

    @property
    def messages(self) -> list[str]:
        """The texts of the installer's own message boxes."""
        return [text for caption, text in self.boxes if caption == CAPTION]


def run_installer(prefix: WinePrefix, exe: pathlib.Path, args=(), timeout: float = 60,
                  on_call: Callable[[Call], None] | None = None,
                  dll_overrides: str | None = None) -> RunResult:
    """Runs `exe` to its end while a helper answers its message boxes."""
    work = exe.parent
    box_log, stop = work / "boxes.log", work / "dismiss.stop"
    for path in (box_log, stop, prefix.opened_log()):
        path.unlink(missing_ok=True)
    box_log.touch()
    dismisser = subprocess.Popen(
        ["wine", str(prefix.helpers["dismiss"]), windows_path(box_log), windows_path(stop)],
        env=prefix.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    env = {**prefix.env,
           "WINEDEBUG": os.environ.get("HARNESS_WINEDEBUG", "+pid,+timestamp,+loaddll,+relay")}
    if dll_overrides:
        env["WINEDLLOVERRIDES"] += ";" + dll_overrides
    transcript = Transcript(exe.name, pefile.PE(str(exe), fast_load=True).OPTIONAL_HEADER.SizeOfImage,
                            on_call)
    process = subprocess.Popen(["wine", str(exe), *args], env=env, cwd=work,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                               errors="replace")
    reader = threading.Thread(target=lambda: [transcript.feed(line.rstrip("\n"))
                                              for line in process.stderr], daemon=True)
    reader.start()
    try:
        exit_code = process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        exit_code = None
    reader.join(10)

    # The shell starts the handler without waiting for it: give it a moment to record.
    if any(c.name == "ShellExecuteExW" and c.retval for c in transcript.calls):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not prefix.opened_log().exists():
            time.sleep(0.05)
        time.sleep(0.2)
    stop.touch()
    try:
        dismisser.wait(10)
    except subprocess.TimeoutExpired:
        dismisser.kill()

    boxes = [tuple(line.split("\t", 1)) for line in
             box_log.read_text(encoding="utf-8").splitlines() if "\t" in line]
    opened = []
    if prefix.opened_log().exists():
        opened = [line.strip().strip('"') for line in
                  prefix.opened_log().read_text(encoding="utf-8").splitlines() if line.strip()]
    loaded = [unescape(m.group("path")) for m in map(LOADED.match, transcript.lines)
              if m and m.group("pid") == transcript.pid]
    return RunResult(exit_code, loaded, transcript.calls, boxes, opened, transcript.lines)


def open_after_failures(server: Server, failures: int) -> Callable[[Call], None]:
    """An on_call hook that starts the server once `failures` fetches have failed."""
    seen = 0

    def hook(call: Call):
        nonlocal seen
        if call.name == "URLDownloadToFileW" and call.retval and call.retval >= 0x80000000:
            seen += 1
            if seen == failures:
                server.open()
    return hook


# ---------------------------------------------------------------------------------------------
# Everything together


@dataclasses.dataclass
class World:
    """An installer built for a local server, the server, and a Wine prefix to run it in."""
    root: pathlib.Path
    port: int
    exe: pathlib.Path
    prefix: WinePrefix
    server: Server
    tls: Tls
    # A plain-HTTP server, for addresses that leave https.
    plain: Server

    @classmethod
    def create(cls, root: pathlib.Path, stall_timeout_ms: int = STALL_TIMEOUT_MS) -> "World":
        # Every case reaches the server as "localhost"; without a hosts entry for it, every
        # download would fail and look like the installer's fault.
        try:
            addresses = {info[4][0] for info in socket.getaddrinfo("localhost", None)}
        except socket.gaierror:
            addresses = set()
        if "127.0.0.1" not in addresses:
            raise RuntimeError("localhost does not resolve to 127.0.0.1; check /etc/hosts")
        root.mkdir(parents=True, exist_ok=True)
        port = free_port()
        exe = build_installer(root / "installer", f"localhost:{port}", stall_timeout_ms)
        helpers = build_helpers(root / "helpers")
        tls = Tls.make(root / "tls")
        prefix = WinePrefix(root / "wineprefix")
        prefix.create(helpers, tls)
        return cls(root, port, exe, prefix, Server(port, tls), tls, Server(free_port(), None))

    def close(self):
        self.server.close()
        self.plain.close()
        self.prefix.shutdown()

    @property
    def host(self) -> str:
        return f"localhost:{self.port}"

    @property
    def manifest_url(self) -> str:
        return f"https://{self.host}{MANIFEST_PATH}"

    @property
    def manifest_dir(self) -> str:
        return self.manifest_url.rsplit("/", 1)[0] + "/"

    def case_dir(self, name: str, exe_name: str = EXE_NAME) -> pathlib.Path:
        """A fresh folder holding a copy of the installer named `exe_name`, as a user's
        Downloads would."""
        folder = self.root / "cases" / name
        if folder.exists():
            shutil.rmtree(folder)
        folder.mkdir(parents=True)
        shutil.copy2(self.exe, folder / exe_name)
        return folder

    def files_outside_temp(self, case: pathlib.Path) -> dict[pathlib.Path, int]:
        """Every file of the prefix's drive C: and of the case folder, but the temporary folder's
        and Wine's own, with its modification time: what a run must leave as it was."""
        profile = self.prefix.path / "drive_c" / "users" / self.prefix.user
        # Wine's own files, and the download service's internet cache and cookies.
        skip = [self.prefix.temp, self.prefix.path / "drive_c" / "windows",
                profile / "AppData" / "Local" / "Microsoft" / "Windows"]
        found = {}
        for top in [self.prefix.path / "drive_c", case]:
            for path in top.rglob("*"):
                if path.is_file() and not any(path.is_relative_to(s) for s in skip):
                    found[path] = path.stat().st_mtime_ns
        return found

    def clear_temp(self):
        for entry in self.prefix.temp.iterdir():
            if entry.is_dir():
                shutil.rmtree(entry)
            else:
                entry.unlink()
