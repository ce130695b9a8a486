import pathlib
import subprocess

import pytest

from check import ROOT, Tool


@pytest.fixture(scope="session")
def tool():
    """The manifest check of the `windows` build (download host downloads.quillmoor.com), run
    through tools/check-manifest.sh in a Wine prefix of the tests' own."""
    tool = Tool(ROOT / "build" / "windows" / "check-manifest.exe",
                ROOT / "build" / "preflight-tests" / "wineprefix")
    yield tool
    tool.shutdown()
