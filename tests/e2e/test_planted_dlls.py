"""A user runs the installer from Downloads, where anything may sit beside it. DLLs planted there
under system names must never be loaded, and the run must still succeed."""
import subprocess

import pytest

import harness
from harness import Response
from test_roads import manifest

# System DLLs that are not known DLLs and that the installer's process loads after it starts:
# for the download, TLS and the shell. A copy beside the executable is what Windows would find
# first for each of them, unless the program says otherwise.
PLANTED = ["urlmon", "wininet", "schannel", "rsaenh", "dnsapi", "iphlpapi", "mpr", "netapi32",
           "kerberos", "msv1_0", "iertutil", "winhttp", "userenv", "ncrypt", "uxtheme",
           "comctl32", "propsys", "cryptnet", "wldap32"]
# Not planted: Wine loads these from beside the executable whatever the program does, unlike
# Windows (measured with Wine 8):
# - version: Wine's own user32 imports it, so the loader maps it before any code of ours runs
#   (Windows' user32, a known DLL, does not);
# - secur32, crypt32, bcrypt: Wine resolves its DLLs' delayed imports, on the download
#   service's worker thread, without the default DLL directories that the installer sets at
#   start-up; Windows applies them to delayed imports too.
# Wine prefers its own DLLs; these overrides make it search the executable's folder first, as
# Windows does.
OVERRIDES = ",".join(PLANTED) + "=n,b"


def plant(world, folder, names):
    markers = world.prefix.path / "drive_c"
    for marker in markers.glob("planted-*.marker"):
        marker.unlink()
    for name in names:
        (folder / f"{name}.dll").write_bytes(world.prefix.helpers["planted"].read_bytes())
    return lambda: sorted(p.name for p in markers.glob("planted-*.marker"))


def test_no_planted_dll_is_loaded(world):
    world.clear_temp()
    world.server.reset({harness.MANIFEST_PATH: Response(manifest()),
                        "/downloads/Lanternfold.msixbundle": Response(b"bundle")})
    # The fallback road: it fetches twice and asks the shell twice.
    world.prefix.set_associations({".msixbundle"})
    folder = world.case_dir("planted-dlls")
    markers = plant(world, folder, PLANTED)

    result = harness.run_installer(world.prefix, folder / harness.EXE_NAME,
                                   dll_overrides=OVERRIDES)

    assert result.exit_code == 0
    assert markers() == []
    from_download_folder = [p for p in result.loaded
                            if p.lower().startswith(harness.windows_path(folder).lower() + "\\")
                            and not p.endswith(harness.EXE_NAME)]
    assert from_download_folder == []
    assert result.messages == []
    assert result.opened == [world.prefix.temp_windows + "Lanternfold.msixbundle"]
    assert "LoadLibraryExW(urlmon.dll, 0x800) = module" in result.transcript(["LoadLibraryExW"])


def test_the_same_setup_catches_a_static_urlmon_import(world):
    """The control: a program that imports urlmon.dll statically loads the planted copy."""
    folder = world.case_dir("planted-dlls-control")
    markers = plant(world, folder, ["urlmon"])
    program = folder / "static_urlmon.exe"
    program.write_bytes(world.prefix.helpers["static_urlmon"].read_bytes())
    env = {**world.prefix.env,
           "WINEDLLOVERRIDES": world.prefix.env["WINEDLLOVERRIDES"] + ";" + OVERRIDES}
    subprocess.run(["wine", str(program)], env=env, cwd=folder, timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    assert markers() == ["planted-urlmon.dll.marker"]
