import dataclasses
import os
import pathlib
import shutil

import pytest

from release_helpers import EXE_NAME, ROOT, Ca, Identity, TimestampServer, build_release, \
    code_signing_identity

PASSWORD = "correct horse battery staple"


@pytest.fixture(scope="session")
def unsigned_exe(tmp_path_factory) -> pathlib.Path:
    """A private copy of the built installer (INSTALLER_EXE, else the windows preset's, else
    one built here), so that a rebuild elsewhere cannot change it under a test."""
    source = pathlib.Path(os.environ.get("INSTALLER_EXE", ROOT / "build" / "windows" / EXE_NAME))
    folder = tmp_path_factory.mktemp("unsigned")
    if not source.is_file():
        source = build_release(folder / "build")
    copy = folder / EXE_NAME
    shutil.copy2(source, copy)
    return copy


@dataclasses.dataclass
class Keys:
    ca: Ca
    signer: Identity
    other_ca: Ca  # unrelated to everything that signs
    password_file: pathlib.Path
    encrypted_key: pathlib.Path
    pkcs12: pathlib.Path

    def options(self, form: str) -> tuple[list, str | None]:
        """sign.sh's key options for one way of handing over the key, and the password to put
        in its environment."""
        return {
            "pem": ([*self.pem], None),
            "pem-encrypted-key-password-file":
                (["--cert", self.signer.cert, "--key", self.encrypted_key,
                  "--password-file", self.password_file], None),
            "pem-encrypted-key-password-from-environment":
                (["--cert", self.signer.cert, "--key", self.encrypted_key], PASSWORD),
            "pkcs12-password-file":
                (["--pkcs12", self.pkcs12, "--password-file", self.password_file], None),
            "pkcs12-password-from-environment": (["--pkcs12", self.pkcs12], PASSWORD),
        }[form]

    @property
    def pem(self) -> list:
        return ["--cert", self.signer.cert, "--key", self.signer.key]


@pytest.fixture(scope="session")
def keys(tmp_path_factory) -> Keys:
    folder = tmp_path_factory.mktemp("keys")
    ca, signer = code_signing_identity(folder / "vendor")
    other_ca = Ca.make(folder / "other", "Unrelated Test CA")
    password_file = folder / "password.txt"
    # A trailing newline, as an editor leaves one: it is not part of the password.
    password_file.write_text(PASSWORD + "\n")
    return Keys(ca, signer, other_ca, password_file, signer.encrypted_key(password_file),
                signer.pkcs12(password_file, ca))


@pytest.fixture(scope="session")
def timestamp_server(tmp_path_factory):
    """A timestamp authority under a CA of its own, as a public one would be."""
    folder = tmp_path_factory.mktemp("timestamps")
    server = TimestampServer(folder, Ca.make(folder, "Lanternfold Test Timestamp CA"))
    yield server
    server.close()
