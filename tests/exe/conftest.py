import os
import pathlib

import pefile
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def exe_path():
    path = pathlib.Path(
        os.environ.get("INSTALLER_EXE", ROOT / "build/windows/Quillmoor.Installer.exe"))
    if not path.is_file():
        pytest.fail(f"{path} is not built; run the windows preset first")
    return path


@pytest.fixture(scope="session")
def pe(exe_path):
    return pefile.PE(str(exe_path))


@pytest.fixture(scope="session")
def download_host(exe_path):
    """The host the executable was configured with, from its build's cache."""
    cache = exe_path.parent / "CMakeCache.txt"
    for line in cache.read_text().splitlines():
        if line.startswith("INSTALLER_DOWNLOAD_HOST:"):
            return line.split("=", 1)[1]
    pytest.fail(f"no INSTALLER_DOWNLOAD_HOST in {cache}")
