"""The manifest check and the installer built from the same checkout for the same host agree:
for published App Installer files that the check finds fine, the installer, refused by the shell,
fetches exactly the package URL the check printed. A system proxy that tunnels only to the test
server keeps every other address off the network and quick to fail."""
import json
import pathlib
import subprocess

import pytest

import harness
from harness import Response

REAL_WORLD = harness.ROOT / "tests" / "preflight" / "real-world"
# Absolute https and http addresses, spaces in the path, relative values, a MainPackage, a file
# on the author's disk.
SAMPLE = ["002", "009", "013", "029", "030", "042", "007"]


def check(world, path: pathlib.Path) -> dict:
    exe = world.exe.with_name("check-manifest.exe")
    done = subprocess.run(["wine", str(exe), "--json", harness.windows_path(path)],
                          env=world.prefix.env, capture_output=True, timeout=60)
    return json.loads(done.stdout.decode("utf-8"))["files"][0]


@pytest.mark.parametrize("number", SAMPLE)
def test_installer_fetches_what_the_check_printed(world, number):
    [path] = REAL_WORLD.glob(number + "-*.appinstaller")
    checked = check(world, path)
    assert checked["verdict"] != "fail", checked
    world.clear_temp()
    world.server.reset({harness.MANIFEST_PATH: Response(path.read_bytes())})
    world.prefix.set_associations(set())
    proxy = harness.ConnectProxy(only=world.host)
    world.prefix.set_proxy(proxy.port)
    try:
        result = harness.run_installer(world.prefix,
                                       world.case_dir("preflight-" + number) / harness.EXE_NAME)
    finally:
        world.prefix.set_proxy(None)
        proxy.close()
    assert result.exit_code == 0
    fetched = [c.strings[1] for c in result.calls if c.name == "URLDownloadToFileW"]
    assert fetched[0] == world.manifest_url
    assert set(fetched[1:]) == {checked["packageUrl"]}
    package_paths = {c.strings[2] for c in result.calls if c.name == "URLDownloadToFileW"}
    assert world.prefix.temp_windows + checked["fileName"] in package_paths
