"""The real installer under Wine, against a real HTTPS server, on every road of its sequence."""
import dataclasses
import re

import pytest

import harness
from harness import Response

PATH_ERROR = "Unable to create the App Installer download path."
DOWNLOAD_ERROR = ("Unable to download the installer. Please check your internet connection and "
                  "try again.")
LAUNCH_ERROR = "Unable to launch Windows App Installer or the package fallback."
OK, REFUSED = "00000000", "800c0008"  # INET_E_RESOURCE_NOT_FOUND: nothing listening

BOOTSTRAP = harness.BOOTSTRAP


def manifest(element="MainBundle", uri="Lanternfold.msixbundle", encoding="utf-8"):
    """An App Installer file naming its main bundle or package, in one of the encodings read."""
    attribute = "" if uri is None else f' Uri="{uri}"'
    text = ('<?xml version="1.0" encoding="utf-8"?>\r\n'
            '<AppInstaller xmlns="http://schemas.microsoft.com/appx/appinstaller/2018"'
            ' Version="8.0.0.0" Uri="https://downloads.quillmoor.com/downloads/'
            'Lanternfold-8.appinstaller">\r\n'
            f'  <{element} Name="Quillmoor.Lanternfold" Publisher="CN=Quillmoor"'
            f' Version="8.0.0.0"{attribute} />\r\n'
            '</AppInstaller>\r\n')
    if encoding == "utf-16-le-bom":
        return b"\xff\xfe" + text.encode("utf-16-le")
    if encoding == "utf-8-bom":
        return b"\xef\xbb\xbf" + text.encode("utf-8")
    return text.encode("utf-8")


@dataclasses.dataclass
class Road:
    name: str
    # Package types the stand-in App Installer is registered for.
    associations: set
    manifest: bytes | None = None
    # Other files the server serves, by path.
    files: dict = dataclasses.field(default_factory=dict)
    # How many fetches fail (nothing listening) before the server starts; None: it never does.
    failures_first: int | None = 0
    # The package Uri, with {host} and {closed} (a port nothing listens on) filled in; None
    # leaves the attribute out.
    uri: str | None = "Lanternfold.msixbundle"
    element: str = "MainBundle"
    encoding: str = "utf-8"
    # Expected: the transcript, with {T} (temporary folder), {M} (manifest URL), {D} (its
    # folder), {host} and {closed} filled in; the message; what App Installer was asked to open.
    calls: list = dataclasses.field(default_factory=list)
    message: str | None = None
    opened: list = dataclasses.field(default_factory=list)


def fetch(url, path, result=OK):
    return f"URLDownloadToFileW({url}, {path}) = {result}"


TEMP = "GetTempPathW(260)"
PAUSE = "Sleep(1000)"
MANIFEST = "{M}", "{T}Lanternfold-8.appinstaller"
BUNDLE = "{D}Lanternfold.msixbundle", "{T}Lanternfold.msixbundle"
REFUSE_MANIFEST = [TEMP, fetch(*MANIFEST), "ShellExecuteExW() = 0"]


def combine(relative):
    return f"UrlCombineW({{M}}, {relative}, flags=0) = {OK}"


def bundle_road(name, **overrides):
    """The shell refuses the manifest; the bundle next to it is fetched and opened."""
    road = Road(name, {".msixbundle"}, files={"/downloads/Lanternfold.msixbundle": b"bundle"},
                calls=REFUSE_MANIFEST + [combine("Lanternfold.msixbundle"), TEMP, fetch(*BUNDLE),
                                         "ShellExecuteExW() = 1"],
                opened=[BUNDLE[1]])
    return dataclasses.replace(road, **overrides)


ROADS = [
    Road("manifest accepted", {".appinstaller"}, calls=[TEMP, fetch(*MANIFEST),
                                                         "ShellExecuteExW() = 1"],
         opened=[MANIFEST[1]]),
    Road("two failures then success", {".appinstaller"}, failures_first=2,
         calls=[TEMP, fetch(*MANIFEST, REFUSED), PAUSE, fetch(*MANIFEST, REFUSED), PAUSE,
                fetch(*MANIFEST), "ShellExecuteExW() = 1"],
         opened=[MANIFEST[1]]),
    Road("every manifest attempt fails", {".appinstaller"}, failures_first=None,
         calls=[TEMP, fetch(*MANIFEST, REFUSED), PAUSE, fetch(*MANIFEST, REFUSED), PAUSE,
                fetch(*MANIFEST, REFUSED), f"MessageBoxW({DOWNLOAD_ERROR}, {harness.CAPTION}, 0x10)"],
         message=DOWNLOAD_ERROR),
    bundle_road("shell refuses the manifest: main bundle, relative Uri"),
    bundle_road("manifest in UTF-16LE with its mark", encoding="utf-16-le-bom"),
    bundle_road("manifest in UTF-8 with its mark", encoding="utf-8-bom"),
    Road("main package only", {".msix"}, uri="Lanternfold.msix", element="MainPackage",
         files={"/downloads/Lanternfold.msix": b"package"},
         calls=REFUSE_MANIFEST + [combine("Lanternfold.msix"), TEMP,
                                  fetch("{D}Lanternfold.msix", "{T}Lanternfold.msix"),
                                  "ShellExecuteExW() = 1"],
         opened=["{T}Lanternfold.msix"]),
    Road("relative Uri into another folder", {".appx"}, uri="../packages/Lanternfold.appx",
         files={"/packages/Lanternfold.appx": b"appx"},
         calls=REFUSE_MANIFEST + [combine("../packages/Lanternfold.appx"), TEMP,
                                  fetch("https://{host}/packages/Lanternfold.appx",
                                        "{T}Lanternfold.appx"),
                                  "ShellExecuteExW() = 1"],
         opened=["{T}Lanternfold.appx"]),
    Road("absolute Uri on another path", {".appxbundle"},
         uri="https://{host}/cdn/v8/Lanternfold.appxbundle",
         files={"/cdn/v8/Lanternfold.appxbundle": b"appxbundle"},
         calls=REFUSE_MANIFEST + [combine("https://{host}/cdn/v8/Lanternfold.appxbundle"), TEMP,
                                  fetch("https://{host}/cdn/v8/Lanternfold.appxbundle",
                                        "{T}Lanternfold.appxbundle"),
                                  "ShellExecuteExW() = 1"],
         opened=["{T}Lanternfold.appxbundle"]),
    Road("manifest without a Uri", {".msixbundle"}, uri=None,
         calls=REFUSE_MANIFEST + [f"MessageBoxW({LAUNCH_ERROR}, {harness.CAPTION}, 0x10)"],
         message=LAUNCH_ERROR),
    Road("every package attempt fails", {".msixbundle"},
         uri="https://localhost:{closed}/Lanternfold.msixbundle",
         calls=REFUSE_MANIFEST + [
             combine("https://localhost:{closed}/Lanternfold.msixbundle"), TEMP,
             *[fetch("https://localhost:{closed}/Lanternfold.msixbundle",
                     "{T}Lanternfold.msixbundle", REFUSED), PAUSE] * 2,
             fetch("https://localhost:{closed}/Lanternfold.msixbundle",
                   "{T}Lanternfold.msixbundle", REFUSED),
             f"MessageBoxW({LAUNCH_ERROR}, {harness.CAPTION}, 0x10)"],
         message=LAUNCH_ERROR),
    bundle_road("shell refuses the package too", associations=set(),
                calls=REFUSE_MANIFEST + [combine("Lanternfold.msixbundle"), TEMP,
                                         fetch(*BUNDLE), "ShellExecuteExW() = 0",
                                         f"MessageBoxW({LAUNCH_ERROR}, {harness.CAPTION}, 0x10)"],
                message=LAUNCH_ERROR, opened=[]),
    *[Road(f"package name {what}", {".msix"}, uri=uri,
           calls=REFUSE_MANIFEST + [combine(uri),
                                    f"MessageBoxW({LAUNCH_ERROR}, {harness.CAPTION}, 0x10)"],
           message=LAUNCH_ERROR)
      for what, uri in [
          # The platform keeps these as they are, so the naming must refuse them.
          ("with a backslash", "https://{host}/sub\\evil.msix"),
          ("made only of dots", "https://{host}/...?x=1"),
          # The platform resolves backslashed dot segments itself, even after a query, and is
          # left with the server's root, which names no file.
          ("climbing out after a query", "https://{host}/p.msix?a=/..\\..\\evil.msix"),
      ]],
]


def fill(text, world, closed):
    return (text.replace("{T}", world.prefix.temp_windows).replace("{M}", world.manifest_url)
            .replace("{D}", world.manifest_dir).replace("{host}", world.host)
            .replace("{closed}", str(closed)))


def slug(name):
    return re.sub(r"[^a-z0-9]+", "-", name.lower()).strip("-")


@pytest.mark.parametrize("road", ROADS, ids=[slug(r.name) for r in ROADS])
def test_road(world, road):
    closed = harness.free_port()
    uri = None if road.uri is None else fill(road.uri, world, closed)
    routes = {harness.MANIFEST_PATH: Response(manifest(road.element, uri, road.encoding))}
    routes.update({path: Response(body) for path, body in road.files.items()})
    world.clear_temp()
    world.server.reset(routes, listening=road.failures_first == 0)
    world.prefix.set_associations(road.associations)
    hook = harness.open_after_failures(world.server, road.failures_first) \
        if road.failures_first else None

    case = world.case_dir(slug(road.name))
    before = world.files_outside_temp(case)
    result = harness.run_installer(world.prefix, case / harness.EXE_NAME, on_call=hook)
    # The harness's own records of the run live beside the installer.
    after = {path: mtime for path, mtime in world.files_outside_temp(case).items()
             if path.name not in ("boxes.log", "dismiss.stop")}

    assert result.exit_code == 0
    assert result.transcript(BOOTSTRAP) == [fill(c, world, closed) for c in road.calls]
    assert result.messages == ([road.message] if road.message else [])
    assert result.opened == [fill(p, world, closed) for p in road.opened]
    # Fetched files stay where they were fetched; nothing else appears in the temporary folder.
    fetched = {c.strings[2] for c in result.calls
               if c.name == "URLDownloadToFileW" and c.retval == 0}
    present = {world.prefix.temp_windows + p.name for p in world.prefix.temp.iterdir()}
    assert present == fetched
    assert after == before, "written outside the temporary folder"


def test_retries_pause_a_second(world):
    """The pauses between attempts are real seconds, in the trace's own clock."""
    world.clear_temp()
    world.server.reset({harness.MANIFEST_PATH: Response(manifest())}, listening=False)
    world.prefix.set_associations({".appinstaller"})
    result = harness.run_installer(world.prefix, world.case_dir("retry-timing") / harness.EXE_NAME,
                                   on_call=harness.open_after_failures(world.server, 2))
    assert result.exit_code == 0
    starts = [c.started for c in result.calls if c.name == "URLDownloadToFileW"]
    assert len(starts) == 3
    for earlier, later in zip(starts, starts[1:]):
        assert 0.95 <= later - earlier <= 2.0, starts
    # Only the attempt that found the server listening reached it.
    assert [r.path for r in world.server.requests] == [harness.MANIFEST_PATH]
