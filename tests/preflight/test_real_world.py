"""App Installer files that other projects published in their public repositories
(real-world/SOURCES.tsv names each one's repository, path and commit), and the verdict the
manifest check gives each (real-world/EXPECTED.tsv). The end-to-end suite runs the installer on a
sample of the files found fine, to see it fetch the very package URL the check printed."""
import csv
import pathlib

import pytest

FOLDER = pathlib.Path(__file__).parent / "real-world"


def table(name):
    with (FOLDER / name).open(encoding="utf-8", newline="") as file:
        return list(csv.DictReader(file, delimiter="\t"))


EXPECTED = table("EXPECTED.tsv")


def codes(cell):
    return [] if cell == "-" else cell.split(",")


def test_every_file_has_its_source_and_its_verdict():
    files = sorted(p.name for p in FOLDER.glob("*.appinstaller"))
    assert sorted(row["file"] for row in table("SOURCES.tsv")) == files
    assert sorted(row["file"] for row in EXPECTED) == files
    for row in table("SOURCES.tsv"):
        assert len(row["commit"]) == 40 and "/" in row["repository"], row


def test_verdicts(tool):
    run = tool.run(*[row["file"] for row in EXPECTED], cwd=FOLDER)
    assert run.exit_code == 1  # some of them fail a release
    found = {f["file"]: f for f in run.files()}
    for row in EXPECTED:
        got = found[row["file"]]
        assert (got["verdict"], got["problems"], got["warnings"]) == \
            (row["verdict"], codes(row["problems"]), codes(row["warnings"])), row["file"]
