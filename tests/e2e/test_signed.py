"""The signed installer, as it is published, still runs: the signature appended by
tools/sign.sh leaves the image the loader maps as it was."""
import sys

import pefile

import harness
from test_host import accepted_run

sys.path.insert(0, str(harness.ROOT / "tests" / "release"))
from release_helpers import code_signing_identity, sign, verify  # noqa: E402

IMAGE_DIRECTORY_ENTRY_SECURITY = 4


def test_signed_installer_runs_on_the_accepted_road(world, tmp_path):
    ca, signer = code_signing_identity(tmp_path / "keys")

    def replace_with_signed_copy(folder):
        signed = folder / harness.EXE_NAME
        result = sign(world.exe, signed, "--cert", signer.cert, "--key", signer.key)
        assert result.returncode == 0, result.stderr
        checked = verify(signed, ca.cert)
        assert checked.returncode == 0, checked.stdout + checked.stderr
        security = pefile.PE(str(signed), fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[
            IMAGE_DIRECTORY_ENTRY_SECURITY]
        assert security.Size > 0

    _, result = accepted_run(world, "signed", prepare=replace_with_signed_copy)
    assert result.exit_code == 0
    assert result.messages == []
    assert result.opened == [world.prefix.temp_windows + "Lanternfold-8.appinstaller"]
