"""Hostile networks, file systems and manifests, against the real installer under Wine.

Every row ends with one known message (or none), a known number of attempts and pauses, exit
code 0 and a process that ended; nothing is written outside the temporary folder and no earlier
file there is lost unless the row replaces it on purpose."""
import dataclasses
import gzip
import pathlib
import random
import subprocess
from typing import Callable

import pytest

import harness
from harness import (Chunked, CloseDelimited, Cut, Gzip, LargeFile, Response, Sequence, Slow,
                     Stall, Trickle, redirect)
from test_roads import DOWNLOAD_ERROR, LAUNCH_ERROR, manifest, slug

BUNDLE_PATH = "/downloads/Lanternfold.msixbundle"
EARLIER = ("earlier-download.msix", b"left here by an earlier run")


@dataclasses.dataclass
class Fault:
    name: str
    # Builds the server's routes for this row; gets the world.
    routes: Callable
    associations: set = dataclasses.field(default_factory=lambda: {".appinstaller"})
    listening: bool = True
    # A certificate for the server other than the trusted localhost one: a Tls.make() keyword
    # set, or "untrusted" for a CA the prefix does not trust.
    tls: dict | str | None = None
    # Prepares the temporary folder (and anything else) before the run; may return a callable
    # that undoes it afterwards.
    arrange: Callable | None = None
    # Expected.
    fetches: int = 1
    pauses: int = 0
    message: str | None = None
    opened: list = dataclasses.field(default_factory=list)
    # Checks on the temporary folder after the run.
    check: Callable | None = None
    timeout: float = 120
    # Routes of the plain-HTTP server, which listens only when there are some.
    plain: Callable | None = None
    # A system proxy for the run: "tunnel" relays CONNECT, "refuse" answers it with 407.
    proxy: str | None = None
    # No dialog box at all but the installer's own message, if any.
    only_our_box: bool = False
    # Checks on the run itself: gets the world, the run's result and the proxy (or None).
    check_run: Callable | None = None


def ok_manifest(world):
    return {harness.MANIFEST_PATH: Response(manifest())}


def manifest_route(answer):
    return lambda world: {harness.MANIFEST_PATH: answer}


def fallback(body, extra=None):
    """The shell refuses the manifest, so this body is read for the package."""
    def routes(world):
        return {harness.MANIFEST_PATH: Response(body if isinstance(body, bytes) else body(world)),
                BUNDLE_PATH: Response(b"bundle"), **(extra(world) if extra else {})}
    return routes


MANIFEST_BODY = manifest()
T = "{T}"


def file_is(name, content):
    def check(world):
        assert (world.prefix.temp / name).read_bytes() == content
    return check


def nothing_at(path):
    assert not path.exists(), f"{path} was created"


def place(name, content, read_only=False):
    def arrange(world):
        path = world.prefix.temp / name
        path.write_bytes(content)
        if read_only:
            world.prefix.wine("cmd", "/c", "attrib", "+r", world.prefix.temp_windows + name)
            # Wine lets root write a read-only file, as Windows lets no one: the file system's
            # immutable flag holds for root too.
            subprocess.run(["chattr", "+i", str(path)], check=True)

            def undo():
                subprocess.run(["chattr", "-i", str(path)], check=True)
                world.prefix.wine("cmd", "/c", "attrib", "-r", world.prefix.temp_windows + name)
            return undo
    return arrange


def held_open(name, content):
    """Another process holds the target open with no sharing for the whole run."""
    def arrange(world):
        path = world.prefix.temp / name
        path.write_bytes(content)
        stop, ready = world.root / "hold.stop", world.root / "hold.ready"
        stop.unlink(missing_ok=True)
        ready.unlink(missing_ok=True)
        holder = subprocess.Popen(
            ["wine", str(world.prefix.helpers["hold"]), world.prefix.temp_windows + name,
             harness.windows_path(stop), harness.windows_path(ready)], env=world.prefix.env,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        harness.wait_until(ready.exists, 20)

        def release():
            stop.touch()
            holder.wait(20)
        return release
    return arrange


def plain_url(world, path):
    return f"http://localhost:{world.plain.port}{path}"


def fetch_seconds(result):
    """How long each download attempt took, in the trace's clock."""
    return [c.ended - c.started for c in result.calls if c.name == "URLDownloadToFileW"]


STALL = harness.STALL_TIMEOUT_MS / 1000


def attempts_took(*ranges):
    """Each attempt lasted within its (shortest, longest) seconds; None for any length."""
    def check(world, result, proxy):
        took = fetch_seconds(result)
        assert len(took) == len(ranges), took
        for seconds, span in zip(took, ranges):
            if span:
                assert span[0] <= seconds <= span[1], took
    return check


# A stalled attempt ends once the stall limit has passed without a byte; under Wine the service
# looks at the installer's check every 5 s, so it may take that much longer.
STALLED = (STALL - 0.5, STALL + 8)


def tunnelled(count):
    def check(world, result, proxy):
        assert proxy.tunnels == [world.host] * count
    return check


def served_encodings(*encodings):
    def check(world, result, proxy):
        assert world.server.encodings == list(encodings)
    return check


def plain_requests(count):
    """The download service followed the redirect to plain http this many times."""
    def check(world, result, proxy):
        assert len(world.plain.requests) == count
    return check


# Random bytes grow when gzipped, so the length on the wire exceeds the body on disk.
INCOMPRESSIBLE = random.Random(7).randbytes(1 << 20)
assert len(gzip.compress(INCOMPRESSIBLE)) > len(INCOMPRESSIBLE)
LARGE_BUNDLE = bytes(range(256)) * 1200


def local_file(world, name, content):
    (world.prefix.path / "drive_c" / "users" / world.prefix.user / "Documents" / name).write_bytes(
        content)


def temp_elsewhere(world):
    missing = world.prefix.temp_windows + "not-there"
    world.prefix.set_user_environment({"TMP": missing, "TEMP": missing})
    return lambda: world.prefix.set_user_environment(
        {"TMP": r"%USERPROFILE%\Temp", "TEMP": r"%USERPROFILE%\Temp"})


def long_uri(world, total):
    """A relative Uri whose combined URL has exactly `total` units and ends in the bundle."""
    tail = "Lanternfold.msixbundle"
    remaining = total - len(world.manifest_dir) - len(tail)
    folders = []
    while remaining > 0:
        # Folders of at most 50 units, none left with room only for its "/".
        size = remaining if remaining <= 50 else (50 if remaining - 50 >= 2 else 40)
        folders.append("a" * (size - 1) + "/")
        remaining -= size
    uri = "".join(folders) + tail
    assert len(world.manifest_dir + uri) == total
    return uri


def long_uri_manifest(total):
    def routes(world):
        uri = long_uri(world, total)
        path = "/" + (world.manifest_dir + uri).split("/", 3)[3]
        return {harness.MANIFEST_PATH: Response(manifest(uri=uri)), path: Response(b"bundle")}
    return routes


def big_manifest(world, size):
    """`size` bytes of UTF-8 text whose main bundle stands at the very end."""
    path = world.root / f"manifest-{size}.appinstaller"
    tail = manifest()
    if not path.exists() or path.stat().st_size != size:
        head = b'<?xml version="1.0" encoding="utf-8"?>\r\n<!--'
        filler = size - len(head) - len(b"-->") - len(tail)
        with path.open("wb") as out:
            out.write(head)
            chunk = b"lantern " * 131072
            while filler > 0:
                out.write(chunk[:filler])
                filler -= min(filler, len(chunk))
            out.write(b"-->" + tail)
    return path


def sparse_manifest(world, size):
    path = world.root / f"sparse-{size}.appinstaller"
    with path.open("wb") as out:
        out.truncate(size)
    return path


FAULTS = [
    # --- Network -------------------------------------------------------------------------------
    Fault("connection refused", ok_manifest, listening=False, fetches=3, pauses=2,
          message=DOWNLOAD_ERROR),
    Fault("404 every time", manifest_route(Response(b"<h1>Not Found</h1>", 404)), fetches=3,
          pauses=2, message=DOWNLOAD_ERROR),
    Fault("500 every time", manifest_route(Response(b"<h1>Oops</h1>", 500)), fetches=3,
          pauses=2, message=DOWNLOAD_ERROR),
    Fault("404 then 503 then the manifest",
          lambda w: {harness.MANIFEST_PATH: Sequence(Response(b"no", 404), Response(b"busy", 503),
                                                     Response(MANIFEST_BODY))},
          fetches=3, pauses=2, opened=[T + "Lanternfold-8.appinstaller"],
          check=file_is("Lanternfold-8.appinstaller", MANIFEST_BODY)),
    Fault("500 on a package, then the package",
          fallback(MANIFEST_BODY, lambda w: {BUNDLE_PATH: Sequence(Response(b"x", 500),
                                                                   Response(b"bundle"))}),
          associations={".msixbundle"}, fetches=3, pauses=1,
          opened=[T + "Lanternfold.msixbundle"], check=file_is("Lanternfold.msixbundle", b"bundle")),
    Fault("connection dropped mid-body",
          manifest_route(Cut(MANIFEST_BODY[:100], len(MANIFEST_BODY), reset=True)), fetches=3,
          pauses=2, message=DOWNLOAD_ERROR),
    Fault("body shorter than its Content-Length",
          manifest_route(Cut(MANIFEST_BODY[:100], len(MANIFEST_BODY))), fetches=3, pauses=2,
          message=DOWNLOAD_ERROR),
    Fault("short body, then the whole manifest",
          manifest_route(Sequence(Cut(MANIFEST_BODY[:100], len(MANIFEST_BODY)),
                                  Response(MANIFEST_BODY))),
          fetches=2, pauses=1, opened=[T + "Lanternfold-8.appinstaller"],
          check=file_is("Lanternfold-8.appinstaller", MANIFEST_BODY)),
    Fault("slow first byte", manifest_route(Slow(3, Response(MANIFEST_BODY))),
          opened=[T + "Lanternfold-8.appinstaller"]),
    Fault("redirect to another path",
          lambda w: {harness.MANIFEST_PATH: redirect("/mirror/current.appinstaller"),
                     "/mirror/current.appinstaller": Response(MANIFEST_BODY)},
          opened=[T + "Lanternfold-8.appinstaller"],
          check=file_is("Lanternfold-8.appinstaller", MANIFEST_BODY)),
    Fault("redirect loop", manifest_route(redirect(harness.MANIFEST_PATH)), fetches=3, pauses=2,
          message=DOWNLOAD_ERROR),
    Fault("certificate from an untrusted CA", ok_manifest, tls="untrusted", fetches=3, pauses=2,
          message=DOWNLOAD_ERROR),
    Fault("certificate for the wrong host", ok_manifest, tls={"host": "wrong.example"},
          fetches=3, pauses=2, message=DOWNLOAD_ERROR),
    Fault("expired certificate", ok_manifest, tls={"days": -1}, fetches=3, pauses=2,
          message=DOWNLOAD_ERROR),
    # --- Stalls: a server, proxy or middlebox that stops sending and keeps the line open ------
    Fault("stall mid-body, then the whole manifest",
          manifest_route(Sequence(Stall(len(MANIFEST_BODY), MANIFEST_BODY[:100]),
                                  Response(MANIFEST_BODY))),
          fetches=2, pauses=1, opened=[T + "Lanternfold-8.appinstaller"],
          check=file_is("Lanternfold-8.appinstaller", MANIFEST_BODY),
          check_run=attempts_took(STALLED, (0, 5))),
    Fault("stall after the headers, every time", manifest_route(Stall(len(MANIFEST_BODY))),
          fetches=3, pauses=2, message=DOWNLOAD_ERROR,
          check_run=attempts_took(STALLED, STALLED, STALLED), timeout=240),
    Fault("no answer to the request, every time", manifest_route(Stall(0, headers=False)),
          fetches=3, pauses=2, message=DOWNLOAD_ERROR,
          check_run=attempts_took(STALLED, STALLED, STALLED), timeout=240),
    Fault("stall mid-package, every time",
          fallback(MANIFEST_BODY, lambda w: {BUNDLE_PATH: Stall(len(LARGE_BUNDLE),
                                                                LARGE_BUNDLE[:50000])}),
          associations={".msixbundle"}, fetches=1 + 3, pauses=2, message=LAUNCH_ERROR,
          check_run=attempts_took(None, STALLED, STALLED, STALLED), timeout=240),
    # One byte every 5 s for longer than the stall limit: slow, but never stopped.
    Fault("slow but moving",
          manifest_route(Trickle(MANIFEST_BODY, slow=int(STALL // 5) + 2, interval=5)),
          opened=[T + "Lanternfold-8.appinstaller"],
          check=file_is("Lanternfold-8.appinstaller", MANIFEST_BODY),
          check_run=attempts_took(((STALL // 5 + 2) * 5, (STALL // 5 + 2) * 5 + 10)),
          timeout=240),
    # --- What real servers and networks do -----------------------------------------------------
    Fault("gzip: the manifest", manifest_route(Gzip(MANIFEST_BODY)),
          opened=[T + "Lanternfold-8.appinstaller"],
          check=file_is("Lanternfold-8.appinstaller", MANIFEST_BODY),
          check_run=served_encodings("gzip")),
    Fault("gzip: a package larger compressed than decoded",
          fallback(MANIFEST_BODY, lambda w: {BUNDLE_PATH: Gzip(INCOMPRESSIBLE)}),
          associations={".msixbundle"}, fetches=2, opened=[T + "Lanternfold.msixbundle"],
          check=file_is("Lanternfold.msixbundle", INCOMPRESSIBLE),
          check_run=served_encodings("gzip")),
    Fault("chunked: the manifest", manifest_route(Chunked(MANIFEST_BODY, 64)),
          opened=[T + "Lanternfold-8.appinstaller"],
          check=file_is("Lanternfold-8.appinstaller", MANIFEST_BODY)),
    Fault("chunked: manifest and package",
          lambda w: {harness.MANIFEST_PATH: Chunked(MANIFEST_BODY, 64),
                     BUNDLE_PATH: Chunked(LARGE_BUNDLE, 4096)},
          associations={".msixbundle"}, fetches=2, opened=[T + "Lanternfold.msixbundle"],
          check=file_is("Lanternfold.msixbundle", LARGE_BUNDLE)),
    *[Fault(f"HTTP/1.0 body ended by {how}", manifest_route(CloseDelimited(MANIFEST_BODY, notify)),
            opened=[T + "Lanternfold-8.appinstaller"],
            check=file_is("Lanternfold-8.appinstaller", MANIFEST_BODY))
      for how, notify in [("close_notify and close", True), ("a bare FIN", False)]],
    Fault("system proxy that tunnels",
          fallback(MANIFEST_BODY, lambda w: {BUNDLE_PATH: Response(LARGE_BUNDLE)}),
          associations={".msixbundle"}, proxy="tunnel", fetches=2,
          opened=[T + "Lanternfold.msixbundle"], check=file_is("Lanternfold.msixbundle", LARGE_BUNDLE),
          check_run=tunnelled(2)),
    Fault("system proxy that answers 407", ok_manifest, proxy="refuse",
          arrange=place("Lanternfold-8.appinstaller", b"earlier manifest"),
          fetches=3, pauses=2, message=DOWNLOAD_ERROR, check_run=tunnelled(3), only_our_box=True,
          check=file_is("Lanternfold-8.appinstaller", b"earlier manifest")),
    # The manifest's address is https; a copy that arrives over plain http is no manifest of
    # ours, and the file it would have replaced stays.
    Fault("manifest redirected to plain http",
          lambda w: {harness.MANIFEST_PATH: redirect(plain_url(w, harness.MANIFEST_PATH))},
          plain=lambda w: {harness.MANIFEST_PATH: Response(MANIFEST_BODY)},
          arrange=place("Lanternfold-8.appinstaller", b"earlier manifest"),
          fetches=3, pauses=2, message=DOWNLOAD_ERROR, check_run=plain_requests(3),
          check=file_is("Lanternfold-8.appinstaller", b"earlier manifest")),
    Fault("https package redirected to plain http",
          fallback(MANIFEST_BODY, lambda w: {BUNDLE_PATH: redirect(plain_url(w, BUNDLE_PATH))}),
          plain=lambda w: {BUNDLE_PATH: Response(b"plain bundle")},
          associations={".msixbundle"}, fetches=1 + 3, pauses=2, message=LAUNCH_ERROR,
          check_run=plain_requests(3)),
    # A package address that the manifest itself writes as http is the vendor's choice.
    Fault("package Uri written as http",
          fallback(lambda w: manifest(uri=plain_url(w, BUNDLE_PATH))),
          plain=lambda w: {BUNDLE_PATH: Response(b"plain bundle")},
          associations={".msixbundle"}, fetches=2, opened=[T + "Lanternfold.msixbundle"],
          check=file_is("Lanternfold.msixbundle", b"plain bundle")),
    # --- File system ---------------------------------------------------------------------------
    Fault("target exists and is read-only", ok_manifest,
          arrange=place("Lanternfold-8.appinstaller", b"old", read_only=True), fetches=3,
          pauses=2, message=DOWNLOAD_ERROR, check=file_is("Lanternfold-8.appinstaller", b"old")),
    Fault("target held open with no sharing", ok_manifest,
          arrange=held_open("Lanternfold-8.appinstaller", b"old"), fetches=3, pauses=2,
          message=DOWNLOAD_ERROR, check=file_is("Lanternfold-8.appinstaller", b"old")),
    Fault("stale manifest from an earlier run", ok_manifest,
          arrange=place("Lanternfold-8.appinstaller", manifest(uri="Old.msixbundle")),
          opened=[T + "Lanternfold-8.appinstaller"],
          check=file_is("Lanternfold-8.appinstaller", MANIFEST_BODY)),
    Fault("temporary folder that does not exist", ok_manifest, arrange=temp_elsewhere,
          fetches=3, pauses=2, message=DOWNLOAD_ERROR,
          check=lambda w: nothing_at(w.prefix.temp / "not-there")),
    # --- Manifests (the shell refuses the manifest, so the installer reads it) -----------------
    *[Fault(f"manifest: {what}", fallback(body), associations={".msixbundle"},
            message=LAUNCH_ERROR)
      for what, body in [
          ("0 bytes", b""),
          ("only a byte-order mark", b"\xef\xbb\xbf"),
          ("binary junk", bytes(range(1, 256)) * 40),
          ("truncated in the middle of the Uri", MANIFEST_BODY[:MANIFEST_BODY.index(b"Uri=") + 12]),
          ("'>' inside the Uri", manifest(uri="Lantern>fold.msixbundle")),
      ]],
    Fault("manifest: Uri with an entity, passed on undecoded",
          fallback(manifest(uri="Lantern&amp;fold.msixbundle"),
                   lambda w: {"/downloads/Lantern&amp;fold.msixbundle": Response(b"entity")}),
          associations={".msixbundle"}, fetches=2, opened=[T + "Lantern&amp;fold.msixbundle"]),
    # The value is taken whole, quotation mark included. The server has the file, but no
    # Windows file name can hold that character, so every attempt fails to write it.
    Fault("manifest: apostrophes around a Uri holding a quotation mark",
          fallback(manifest(uri="Lanternfold.msixbundle").replace(
              b'Uri="Lanternfold.msixbundle"', b"Uri='Lantern\"fold.msixbundle'"),
              lambda w: {'/downloads/Lantern"fold.msixbundle': Response(b"bundle"),
                         "/downloads/Lantern%22fold.msixbundle": Response(b"bundle")}),
          associations={".msixbundle"}, fetches=2 + 2, pauses=2, message=LAUNCH_ERROR),
    Fault("manifest: Uri of 2047 units after combination", long_uri_manifest(2047),
          associations={".msixbundle"}, fetches=2, opened=[T + "Lanternfold.msixbundle"]),
    Fault("manifest: Uri of 2048 units after combination", long_uri_manifest(2048),
          associations={".msixbundle"}, message=LAUNCH_ERROR),
    # Wine's UrlCombineW answers a value this long with the manifest's folder; it is never
    # asked.
    Fault("manifest: Uri of 10,000 units", fallback(manifest(uri="a/" * 5000 + "x.msixbundle")),
          associations={".msixbundle"}, message=LAUNCH_ERROR),
    # The address is followed whatever its scheme: a local file is copied into the temporary
    # folder like any download, and opened from there.
    Fault("manifest: file: Uri",
          fallback(lambda w: manifest(uri=f"file:///C:/users/{w.prefix.user}/Documents/"
                                          "local.msixbundle")),
          arrange=lambda w: local_file(w, "local.msixbundle", b"local bundle"),
          associations={".msixbundle"}, fetches=2, opened=[T + "local.msixbundle"],
          check=file_is("local.msixbundle", b"local bundle")),
    Fault("manifest: 300 MB with the main bundle at the end",
          lambda w: {harness.MANIFEST_PATH: LargeFile(big_manifest(w, 300 << 20)),
                     BUNDLE_PATH: Response(b"bundle")},
          associations={".msixbundle"}, fetches=2, opened=[T + "Lanternfold.msixbundle"],
          timeout=300),
    Fault("manifest: over 2^31 - 1 bytes",
          lambda w: {harness.MANIFEST_PATH: LargeFile(sparse_manifest(w, 2**31 + 4096)),
                     BUNDLE_PATH: Response(b"bundle")},
          associations={".msixbundle"}, message=LAUNCH_ERROR, timeout=600),
]


def server_tls(world, spec):
    if spec is None:
        return None
    folder = world.root / "tls-variants" / slug(str(spec))
    if spec == "untrusted":
        return harness.Tls.make(folder)
    return harness.Tls.make(folder, ca=world.tls, **spec)


@pytest.mark.parametrize("fault", FAULTS, ids=[slug(f.name) for f in FAULTS])
def test_fault(world, fault):
    world.clear_temp()
    earlier = world.prefix.temp / EARLIER[0]
    earlier.write_bytes(EARLIER[1])
    world.server.reset(fault.routes(world), listening=fault.listening,
                       tls=server_tls(world, fault.tls))
    world.plain.reset(fault.plain(world) if fault.plain else {}, listening=bool(fault.plain))
    world.prefix.set_associations(fault.associations)
    case = world.case_dir(slug(fault.name))
    proxy = harness.ConnectProxy(refuse=fault.proxy == "refuse") if fault.proxy else None
    if proxy:
        world.prefix.set_proxy(proxy.port)
    undo = fault.arrange(world) if fault.arrange else None
    try:
        before = world.files_outside_temp(case)
        result = harness.run_installer(world.prefix, case / harness.EXE_NAME,
                                       timeout=fault.timeout)
        after = world.files_outside_temp(case)
    finally:
        if undo:
            undo()
        if proxy:
            world.prefix.set_proxy(None)
            proxy.close()
        # Stalled answers end here, not with the next case.
        world.server.released.set()

    assert result.exit_code == 0, "the run did not end" if result.exit_code is None else ""
    names = [c.name for c in result.calls]
    assert names.count("URLDownloadToFileW") == fault.fetches
    assert [c.args[0] for c in result.calls if c.name == "Sleep"] == [1000] * fault.pauses
    assert result.messages == ([fault.message] if fault.message else [])
    if fault.only_our_box:
        assert len(result.boxes) == len(result.messages), result.boxes
    assert result.opened == [p.replace(T, world.prefix.temp_windows) for p in fault.opened]
    assert earlier.read_bytes() == EARLIER[1], "an earlier file was lost"
    for path in ("boxes.log", "dismiss.stop"):
        after.pop(case / path, None)
    assert after == before, "written outside the temporary folder"
    if fault.check:
        fault.check(world)
    if fault.check_run:
        fault.check_run(world, result, proxy)
