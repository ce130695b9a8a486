"""tools/sign.sh: Authenticode signatures that verify against the vendor's CA and no other,
made without touching the unsigned, reproducible executable."""
import hashlib
import re
import socket
import subprocess

import pefile
import pytest

from release_helpers import DESCRIPTION, EXE_NAME, run_sign, sign, verify

IMAGE_DIRECTORY_ENTRY_SECURITY = 4


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def leftovers(folder):
    """Anything sign.sh's work folder left behind."""
    return sorted(p.name for p in folder.iterdir() if p.name.startswith(".sign."))


def signature(signed, tmp_path):
    """The signature's PKCS#7 blob, as osslsigncode finds it in the file."""
    out = tmp_path / "signature.der"
    subprocess.run(["osslsigncode", "extract-signature", "-in", str(signed), "-out", str(out)],
                   check=True, capture_output=True)
    return out.read_bytes()


@pytest.fixture
def closed_url():
    """The address of a port that nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}/"


@pytest.mark.parametrize("form", [
    "pem", "pem-encrypted-key-password-file", "pem-encrypted-key-password-from-environment",
    "pkcs12-password-file", "pkcs12-password-from-environment"])
def test_signed_copy_verifies_against_its_ca_only(keys, unsigned_exe, tmp_path, form):
    options, password = keys.options(form)
    before = digest(unsigned_exe)
    signed = tmp_path / EXE_NAME
    result = sign(unsigned_exe, signed, *options, password=password)
    assert result.returncode == 0, result.stderr
    assert digest(unsigned_exe) == before
    assert leftovers(tmp_path) == []

    trusted = verify(signed, keys.ca.cert)
    assert trusted.returncode == 0, trusted.stdout + trusted.stderr
    assert "Signature verification: ok" in trusted.stdout
    assert re.search(r"^Message digest algorithm\s*: SHA256$", trusted.stdout, re.M)
    assert f"Text description: {DESCRIPTION}" in trusted.stdout

    # The same signature, with trust pinned to a CA that issued nothing here.
    untrusted = verify(signed, keys.other_ca.cert)
    assert untrusted.returncode != 0, untrusted.stdout


def test_url_goes_with_the_description(keys, unsigned_exe, tmp_path):
    url = "https://www.example.com/lanternfold"
    signed = tmp_path / EXE_NAME
    assert sign(unsigned_exe, signed, *keys.pem, "--url", url).returncode == 0
    blob = signature(signed, tmp_path)
    assert url.encode() in blob
    assert DESCRIPTION.encode() in blob


@pytest.mark.parametrize("timestamped", [False, True], ids=["plain", "timestamped"])
def test_signature_is_purely_additive(keys, unsigned_exe, tmp_path, timestamp_server,
                                      timestamped):
    """Signing appends the signature at the end of the file and changes two header fields:
    the security directory entry that points at it, and the image checksum, which covers the
    whole file. `remove-signature` clears the entry, drops what follows the image and
    recomputes the checksum, so it gives back the unsigned bytes exactly: the linker already
    writes a correct checksum, and the image ends on the 8-byte boundary a signature must
    start on, so no padding is added that would then stay behind."""
    unsigned = unsigned_exe.read_bytes()
    pe = pefile.PE(data=unsigned, fast_load=True)
    assert pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum()
    assert len(unsigned) % 8 == 0
    checksum_at = pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
    security_at = pe.OPTIONAL_HEADER.DATA_DIRECTORY[IMAGE_DIRECTORY_ENTRY_SECURITY] \
        .get_file_offset()

    signed = tmp_path / "signed.exe"
    options = ["--timestamp", timestamp_server.url] if timestamped else []
    assert sign(unsigned_exe, signed, *keys.pem, *options).returncode == 0
    signed_bytes = signed.read_bytes()
    security = pefile.PE(data=signed_bytes, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[
        IMAGE_DIRECTORY_ENTRY_SECURITY]
    assert (security.VirtualAddress, security.VirtualAddress + security.Size) == (
        len(unsigned), len(signed_bytes))

    def masked(data):
        data = bytearray(data[:len(unsigned)])
        data[checksum_at:checksum_at + 4] = bytes(4)
        data[security_at:security_at + 8] = bytes(8)
        return bytes(data)
    assert masked(signed_bytes) == masked(unsigned)

    stripped = tmp_path / "stripped.exe"
    subprocess.run(["osslsigncode", "remove-signature", "-in", str(signed), "-out",
                    str(stripped)], check=True, capture_output=True)
    assert stripped.read_bytes() == unsigned


@pytest.mark.parametrize("servers", [["good"], ["closed", "good"]],
                         ids=["one-server", "falls-back-to-the-second"])
def test_timestamp(keys, unsigned_exe, tmp_path, timestamp_server, closed_url, servers):
    urls = {"good": timestamp_server.url, "closed": closed_url}
    options = [option for name in servers for option in ("--timestamp", urls[name])]
    answered = timestamp_server.requests
    signed = tmp_path / EXE_NAME
    result = sign(unsigned_exe, signed, *keys.pem, *options)
    assert result.returncode == 0, result.stderr
    assert timestamp_server.requests == answered + 1

    pinned = verify(signed, keys.ca.cert, timestamp_server.ca.cert)
    assert pinned.returncode == 0, pinned.stdout + pinned.stderr
    assert "Timestamp Server Signature verification: ok" in pinned.stdout
    # The countersignature is checked against its own trust anchor, not the publisher's.
    other = verify(signed, keys.ca.cert, keys.ca.cert)
    assert "Timestamp Server Signature verification: failed" in other.stdout


@pytest.mark.parametrize("case", [
    "wrong-password-from-environment", "wrong-password-file", "no-password",
    "key-of-another-certificate", "timestamp-server-unreachable"])
def test_failed_signing_leaves_no_signed_file(keys, unsigned_exe, tmp_path, closed_url, case):
    wrong = tmp_path / "wrong-password.txt"
    wrong.write_text("not the password\n")
    options, password = {
        "wrong-password-from-environment": (["--pkcs12", keys.pkcs12], "not the password"),
        "wrong-password-file": (["--pkcs12", keys.pkcs12, "--password-file", wrong], None),
        "no-password": (["--cert", keys.signer.cert, "--key", keys.encrypted_key], None),
        "key-of-another-certificate": (["--cert", keys.signer.cert, "--key", keys.other_ca.key],
                                       None),
        "timestamp-server-unreachable": ([*keys.pem, "--timestamp", closed_url], None),
    }[case]
    before = digest(unsigned_exe)
    out = tmp_path / "out"
    out.mkdir()
    result = sign(unsigned_exe, out / EXE_NAME, *options, password=password)
    assert result.returncode != 0
    assert list(out.iterdir()) == []
    assert digest(unsigned_exe) == before


@pytest.fixture
def arguments(keys, unsigned_exe, tmp_path):
    """Builds sign.sh command lines from short names."""
    link = tmp_path / "link.exe"
    link.symlink_to(unsigned_exe)
    names = {
        "exe": unsigned_exe, "out": tmp_path / "signed.exe", "link": link,
        "p12": keys.pkcs12, "cert": keys.signer.cert, "key": keys.signer.key,
        "missing": tmp_path / "missing", "deep": tmp_path / "no-such-folder" / "signed.exe",
    }
    return lambda words: [str(names.get(w, w)) for w in words]


@pytest.mark.parametrize("words", [
    [],
    ["--pkcs12", "p12", "exe"],
    ["--pkcs12", "p12", "exe", "out", "out"],
    ["--pkcs12", "p12", "--digest", "sha1", "exe", "out"],
    ["exe", "out", "--pkcs12"],
    ["--pkcs12", "", "exe", "out"],
    ["exe", "out"],
    ["--cert", "cert", "exe", "out"],
    ["--key", "key", "exe", "out"],
    ["--pkcs12", "p12", "--cert", "cert", "--key", "key", "exe", "out"],
    ["--pkcs12", "missing", "exe", "out"],
    ["--pkcs12", "p12", "--password-file", "missing", "exe", "out"],
    ["--pkcs12", "p12", "missing", "out"],
    ["--pkcs12", "p12", "exe", "exe"],
    ["--pkcs12", "p12", "exe", "link"],
    ["--pkcs12", "p12", "exe", "deep"],
    ["--pkcs12", "p12", "--timestamp", "timestamp.example.com", "exe", "out"],
    ["--pkcs12", "p12", "--url", "file:///etc/passwd", "exe", "out"],
], ids=["no-arguments", "input-only", "three-files", "unknown-option", "option-without-value",
        "empty-value", "no-key", "cert-without-key", "key-without-cert", "pkcs12-and-pem",
        "missing-pkcs12", "missing-password-file", "missing-input", "output-is-input",
        "output-is-input-through-a-link", "output-folder-missing", "timestamp-not-http",
        "url-not-http"])
def test_bad_arguments(arguments, unsigned_exe, tmp_path, words):
    before = digest(unsigned_exe)
    result = run_sign(arguments(words))
    assert result.returncode == 2, result.stdout + result.stderr
    assert result.stderr.startswith("sign.sh: ")
    assert "--help" in result.stderr
    assert digest(unsigned_exe) == before
    assert not (tmp_path / "signed.exe").exists()
    assert leftovers(tmp_path) == []


def test_help():
    result = run_sign(["--help"])
    assert result.returncode == 0
    assert result.stdout.startswith("Usage: tools/sign.sh")
    for option in ["--pkcs12", "--cert", "--key", "--password-file", "--timestamp", "--url",
                   "INSTALLER_SIGN_PASSWORD"]:
        assert option in result.stdout
