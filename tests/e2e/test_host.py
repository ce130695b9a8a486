"""The real installer under Wine: start-up work, its temporary folder and repeated runs."""
import re

import pytest

import harness
from harness import Response
from test_roads import manifest

GUID = r"[0-9A-F]{8}-[0-9A-F]{4}-[0-9a-f]{4}-[0-9A-F]{4}-[0-9A-F]{12}"


def accepted_run(world, name, args=(), prepare=None, clear=True):
    """A run on the shortest successful road: the shell accepts the manifest."""
    if clear:
        world.clear_temp()
    world.server.reset({harness.MANIFEST_PATH: Response(manifest())})
    world.prefix.set_associations({".appinstaller"})
    folder = world.case_dir(name)
    if prepare:
        prepare(folder)
    result = harness.run_installer(world.prefix, folder / harness.EXE_NAME, args)
    assert result.exit_code == 0
    return folder, result


@pytest.mark.parametrize("args, tail", [
    ((), ""),
    (("a", "b"), "a b"),
    (("/RestartByRestartManager:11111111-2222-3333-4444-555555555555",),
     "/RestartByRestartManager:11111111-2222-3333-4444-555555555555"),
], ids=["no-arguments", "a-b", "earlier-restart-argument"])
def test_restart_registration(world, args, tail):
    _, result = accepted_run(world, "restart", args)
    [registration] = [c for c in result.calls if c.name == "RegisterApplicationRestart"]
    assert re.fullmatch(re.escape(tail) + " /RestartByRestartManager:" + GUID,
                        registration.strings[0]), registration.strings[0]
    assert registration.args[1] == 0
    # It comes before the download, and the arguments change nothing else.
    assert result.calls.index(registration) < next(
        i for i, c in enumerate(result.calls) if c.name == "GetTempPathW")
    assert result.messages == []


def test_restart_identifier_is_new_every_run(world):
    identifiers = set()
    for _ in range(2):
        _, result = accepted_run(world, "restart-twice")
        [registration] = [c for c in result.calls if c.name == "RegisterApplicationRestart"]
        identifiers.add(registration.strings[0])
    assert len(identifiers) == 2


@pytest.mark.parametrize("satellites, loaded", [
    ([], None),
    (["ENU"], "ENU"),
    (["LOC"], "LOC"),
    (["ENU", "LOC"], "ENU"),
    (["DEU"], None),
], ids=["none", "first-language", "loc-fallback", "language-before-loc", "other-language-only"])
def test_satellite_resource_library(world, satellites, loaded):
    marker = world.prefix.path / "drive_c" / "satellite-code-ran.marker"
    marker.unlink(missing_ok=True)

    def place(folder):
        for abbreviation in satellites:
            target = folder / f"Quillmoor.Installer{abbreviation}.dll"
            target.write_bytes(world.prefix.helpers["satellite"].read_bytes())

    folder, result = accepted_run(world, "satellite", prepare=place)
    stem = harness.windows_path(folder / "Quillmoor.Installer")
    probe = []
    for abbreviation in ["ENU", "LOC"]:
        found = abbreviation == loaded
        probe.append(f"LoadLibraryExW({stem}{abbreviation}.dll, 0x60) = "
                     f"{'module' if found else 'null'}")
        if found:
            break
        probe.append(f"LoadLibraryExW({stem}{abbreviation}.dll, 0x2) = null")
    satellite_calls = [line for line in result.transcript(["LoadLibraryExW", "FreeLibrary"])
                       if line.startswith(f"LoadLibraryExW({stem}") or line.startswith("Free")]
    assert satellite_calls == probe + (["FreeLibrary(satellite)"] if loaded else [])
    # Freed at exit: after everything the installer did.
    if loaded:
        assert result.calls[-1].name == "FreeLibrary"
    # Loaded as data: none of its code ran.
    assert not marker.exists()
    assert result.opened == [world.prefix.temp_windows + "Lanternfold-8.appinstaller"]


@pytest.fixture
def temp_folder(world):
    """Points TMP and TEMP at another folder for one test."""
    def point(windows_folder):
        world.prefix.set_user_environment({"TMP": windows_folder, "TEMP": windows_folder})
    yield point
    point(r"%USERPROFILE%\Temp")


def test_longest_temporary_folder_the_platform_reports(world, temp_folder):
    """259 units with its separator: the download path runs past MAX_PATH. The fetch goes there
    in full, and what refuses the long path afterwards is the platform, not the naming."""
    name = "t" * (258 - len(world.prefix.temp_windows))
    world.clear_temp()
    (world.prefix.temp / name).mkdir()
    folder = world.prefix.temp_windows + name + "\\"
    assert len(folder) == 259
    temp_folder(folder.rstrip("\\"))  # the platform adds the separator
    _, result = accepted_run(world, "long-temp", clear=False)
    # Relay tracing shortens long strings, so the full path is checked on disk.
    assert (world.prefix.temp / name / "Lanternfold-8.appinstaller").read_bytes() == manifest()
    # The shell refuses a file path past MAX_PATH, and so does the file class reading it back.
    assert [c.name for c in result.calls if c.name in harness.BOOTSTRAP] == [
        "GetTempPathW", "URLDownloadToFileW", "ShellExecuteExW", "MessageBoxW"]
    assert result.messages == ["Unable to launch Windows App Installer or the package fallback."]


def test_temporary_folder_longer_than_max_path(world, temp_folder):
    """The platform names no temporary folder past MAX_PATH: the path message, and no fetch."""
    long_temp = world.prefix.temp / ("t" * 120) / ("e" * 120)
    world.clear_temp()
    long_temp.mkdir(parents=True)
    folder = world.prefix.temp_windows + "t" * 120 + "\\" + "e" * 120 + "\\"
    assert len(folder) > 260
    temp_folder(folder)
    _, result = accepted_run(world, "too-long-temp", clear=False)
    assert result.transcript(harness.BOOTSTRAP) == [
        "GetTempPathW(260)",
        f"MessageBoxW(Unable to create the App Installer download path., {harness.CAPTION}, 0x10)"]
    assert result.messages == ["Unable to create the App Installer download path."]
    assert not any(long_temp.iterdir())


def test_second_run_fetches_the_same_paths_again(world):
    temp = world.prefix.temp
    world.clear_temp()
    world.prefix.set_associations({".msixbundle"})
    runs = []
    for body in [b"first bundle", b"second bundle"]:
        world.server.reset({
            harness.MANIFEST_PATH: Response(manifest()),
            "/downloads/Lanternfold.msixbundle": Response(body)})
        result = harness.run_installer(world.prefix,
                                       world.case_dir("second-run") / harness.EXE_NAME)
        assert result.exit_code == 0
        assert (temp / "Lanternfold.msixbundle").read_bytes() == body
        assert (temp / "Lanternfold-8.appinstaller").read_bytes() == manifest()
        runs.append(result.transcript(["URLDownloadToFileW"]))
    assert runs[0] == runs[1]
    assert len(runs[0]) == 2


def test_every_run_fetches_the_current_manifest(world):
    """A server that allows caching for a day still gets asked on every run, and each run gets
    the manifest as it is now. (The installer also asks the download service not to write its
    cache; Wine's service ignores that flag and always downloads through a cache file, so that
    part is not visible here.)"""
    world.prefix.set_associations({".appinstaller"})
    for version in ["8.0.0.1", "8.0.0.2"]:
        body = manifest().replace(b'Version="8.0.0.0"', f'Version="{version}"'.encode())
        world.clear_temp()
        world.server.reset({harness.MANIFEST_PATH: Response(body, headers={
            "Cache-Control": "max-age=86400", "Last-Modified": "Mon, 01 Jan 2024 00:00:00 GMT"})})
        result = harness.run_installer(world.prefix, world.case_dir("cache") / harness.EXE_NAME)
        assert result.exit_code == 0
        assert (world.prefix.temp / "Lanternfold-8.appinstaller").read_bytes() == body
        assert [r.path for r in world.server.requests] == [harness.MANIFEST_PATH]
