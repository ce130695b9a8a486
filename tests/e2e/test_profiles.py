"""Profiles and download folders as users have them: letters outside ASCII and spaces in the
temporary folder's path, and the name a browser gives a second download of the same file."""
import re
import shutil

import pytest

import harness
from harness import Response
from test_host import GUID
from test_roads import manifest

PROFILE = "Zoë Ångström 東京"
DOWNLOADS = "Téléchargements de Zoë 東京 (copie)"
RENAMED = "Quillmoor.Installer (1).exe"
BUNDLE = "Lanternfold.msixbundle"
MANIFEST = "Lanternfold-8.appinstaller"


@pytest.fixture
def profile_temp(world):
    """TMP and TEMP in a profile folder named like a real user's; (Linux path, Windows path)."""
    profile = world.prefix.path / "drive_c" / "users" / PROFILE
    folder = profile / "Temp"
    folder.mkdir(parents=True, exist_ok=True)
    windows = f"C:\\users\\{PROFILE}\\Temp"
    world.prefix.set_user_environment({"TMP": windows, "TEMP": windows})
    yield folder, windows + "\\"
    world.prefix.set_user_environment({"TMP": r"%USERPROFILE%\Temp", "TEMP": r"%USERPROFILE%\Temp"})
    shutil.rmtree(profile)


@pytest.mark.parametrize("road", ["manifest accepted", "package fallback"])
def test_temporary_folder_outside_ascii(world, profile_temp, road):
    folder, windows = profile_temp
    fallback = road == "package fallback"
    world.clear_temp()
    world.server.reset({harness.MANIFEST_PATH: Response(manifest()),
                        "/downloads/" + BUNDLE: Response(b"bundle")})
    world.prefix.set_associations({".msixbundle"} if fallback else {".appinstaller"})
    result = harness.run_installer(world.prefix, world.case_dir("profile-temp") / harness.EXE_NAME)

    assert result.exit_code == 0
    fetched = [(c.strings[2], c.retval) for c in result.calls if c.name == "URLDownloadToFileW"]
    names = [MANIFEST, BUNDLE] if fallback else [MANIFEST]
    assert fetched == [(windows + name, 0) for name in names]
    assert result.messages == []
    assert result.opened == [windows + names[-1]]
    assert sorted(p.name for p in folder.iterdir()) == sorted(names)
    assert (folder / MANIFEST).read_bytes() == manifest()
    if fallback:
        assert (folder / BUNDLE).read_bytes() == b"bundle"
    # Nothing went to the profile's usual temporary folder instead.
    assert not any(world.prefix.temp.iterdir())


def test_renamed_second_download_in_a_folder_outside_ascii(world):
    """The browser's "(1)" copy, run from a Downloads folder whose name has spaces, accents and
    CJK letters: the arguments, not the program's own name, go into the restart command line,
    and satellites are looked for beside the renamed file."""
    world.clear_temp()
    world.server.reset({harness.MANIFEST_PATH: Response(manifest())})
    world.prefix.set_associations({".appinstaller"})
    folder = world.case_dir(DOWNLOADS, exe_name=RENAMED)
    result = harness.run_installer(world.prefix, folder / RENAMED, ["a", "b"])

    assert result.exit_code == 0
    [registration] = [c for c in result.calls if c.name == "RegisterApplicationRestart"]
    assert re.fullmatch("a b /RestartByRestartManager:" + GUID, registration.strings[0]), \
        registration.strings[0]
    stem = harness.windows_path(folder / "Quillmoor.Installer (1)")
    probed = [c.strings[0] for c in result.calls if c.name == "LoadLibraryExW"
              and c.strings[0].startswith(stem)]
    assert probed == [stem + "ENU.dll"] * 2 + [stem + "LOC.dll"] * 2
    assert result.messages == []
    assert result.opened == [world.prefix.temp_windows + MANIFEST]
    assert (world.prefix.temp / MANIFEST).read_bytes() == manifest()
