"""The manifest check under Wine: one small manifest per problem and warning, a clean one in
every encoding the installer reads, the command line's exit codes, and --json against the text.
"""
import dataclasses
import json
import pathlib

import pytest

MANIFEST_URL = "https://downloads.quillmoor.com/downloads/Lanternfold-8.appinstaller"
FOLDER = "https://downloads.quillmoor.com/downloads/"
BUNDLE = ('<MainBundle Name="Quillmoor.Lanternfold" Publisher="CN=Quillmoor" Version="8.0.0.0"'
          ' Uri="{uri}" />')


def appinstaller(uri="Lanternfold.msixbundle", main=BUNDLE, root_uri=MANIFEST_URL,
                 root_extra="", before="") -> str:
    return ('<?xml version="1.0" encoding="utf-8"?>\r\n'
            f'{before}<AppInstaller xmlns="http://schemas.microsoft.com/appx/appinstaller/2018"'
            f'{root_extra} Version="8.0.0.0" Uri="{root_uri}">\r\n'
            f'  {main.format(uri=uri)}\r\n'
            '</AppInstaller>\r\n')


@dataclasses.dataclass
class Case:
    name: str
    content: bytes | str
    verdict: str
    problems: list = dataclasses.field(default_factory=list)
    warnings: list = dataclasses.field(default_factory=list)
    # Lines that must read so: key -> value.
    facts: dict = dataclasses.field(default_factory=dict)

    @property
    def exit_code(self):
        return 1 if self.verdict == "fail" else 0

    def data(self) -> bytes:
        return self.content.encode("utf-8") if isinstance(self.content, str) else self.content


CLEAN = appinstaller()
LONG = "a/" * 1030 + "Lanternfold.msixbundle"

CASES = [
    Case("clean", CLEAN, "ok", facts={
        "encoding": "UTF-8 without byte-order mark", "element": "MainBundle at line 3, column 4",
        "Uri": "Lanternfold.msixbundle", "package URL": FOLDER + "Lanternfold.msixbundle",
        "local file": "Lanternfold.msixbundle"}),
    Case("clean, UTF-8 with its mark", b"\xef\xbb\xbf" + CLEAN.encode(), "ok",
         facts={"encoding": "UTF-8 with byte-order mark", "element": "MainBundle at line 3, column 4"}),
    Case("clean, UTF-16LE with its mark", b"\xff\xfe" + CLEAN.replace("utf-8", "utf-16")
         .encode("utf-16-le"), "ok",
         facts={"encoding": "UTF-16LE with byte-order mark",
                "package URL": FOLDER + "Lanternfold.msixbundle"}),
    Case("clean main package, absolute https Uri",
         appinstaller("https://cdn.quillmoor.com/8/Lanternfold.msix",
                      main=BUNDLE.replace("MainBundle", "MainPackage")), "ok",
         facts={"element": "MainPackage at line 3, column 4",
                "package URL": "https://cdn.quillmoor.com/8/Lanternfold.msix",
                "local file": "Lanternfold.msix"}),
    # --- Problems ------------------------------------------------------------------------------
    Case("no Uri on the main bundle", appinstaller(main='<MainBundle Name="Quillmoor.Lanternfold"'
                                                        ' Version="8.0.0.0" />'),
         "fail", ["no-package-url"], facts={"element": "(none)"}),
    Case("empty file", b"", "fail", ["no-package-url"]),
    # The installer takes text without a mark for UTF-8; its zero bytes end every search.
    Case("UTF-16LE without its mark", CLEAN.replace("utf-8", "utf-16").encode("utf-16-le"),
         "fail", ["no-package-url", "xml-disagrees"]),
    Case("package URL ending in a slash", appinstaller("https://cdn.quillmoor.com/8/"), "fail",
         ["file-name"], facts={"local file": "(none)"}),
    Case("file name with a backslash", appinstaller("sub\\evil.msixbundle"), "fail",
         ["file-name"]),
    Case("package URL of 2048 code units or more", appinstaller(LONG), "fail", ["url-too-long"],
         facts={"package URL": "(none)"}),
    Case("bare ampersand in the Uri", appinstaller("Lanternfold.msixbundle?a=1&b=2"), "fail",
         ["not-well-formed"]),
    Case("comment naming MainBundle before the element",
         appinstaller(before='<!-- <MainBundle Uri="Old.msixbundle"> -->\r\n'), "fail",
         ["xml-disagrees"], facts={"Uri": "Old.msixbundle", "element": "MainBundle at line 2, column 7"}),
    Case("root attribute naming MainBundle before the element",
         appinstaller(root_extra=' Note="the MainBundle below"'), "fail", ["xml-disagrees"],
         ["file-type"], facts={"Uri": MANIFEST_URL}),
    Case("'>' inside an earlier attribute value",
         appinstaller(main='<MainBundle Name="Lantern>fold" Version="8.0.0.0" Uri="{uri}" />'),
         "fail", ["no-package-url", "xml-disagrees"]),
    Case("attribute whose name ends in Uri before the Uri",
         appinstaller(main='<MainBundle IconUri="icon.png" Name="Quillmoor.Lanternfold"'
                           ' Uri="{uri}" />'),
         "fail", ["xml-disagrees"], ["file-type"], facts={"Uri": "icon.png"}),
    *[Case(f"placeholder {uri}", appinstaller(uri), "fail", problems, warnings)
      for uri, problems, warnings in [
          ("{MainPackageUri}", ["placeholder"], ["file-type"]),
          ("${MSIX_URL}", ["placeholder"], ["file-type"]),
          ("$uri", ["placeholder"], ["file-type"]),
          ("%PACKAGE_URL%", ["placeholder"], ["file-type"]),
          ("https://host/...", ["file-name", "placeholder"], []),
          ("https://YOURCDN.example/Lanternfold.msixbundle", ["placeholder"], []),
      ]],
    # --- Warnings ------------------------------------------------------------------------------
    Case("entity reference in the Uri", appinstaller("Lantern&amp;fold.msixbundle"),
         "ok with warnings", [], ["entity-reference"],
         facts={"Uri": "Lantern&amp;fold.msixbundle",
                "package URL": FOLDER + "Lantern&amp;fold.msixbundle"}),
    Case("plain http", appinstaller("http://downloads.quillmoor.com/Lanternfold.msixbundle"),
         "ok with warnings", [], ["not-https"]),
    Case("file on the author's disk", appinstaller("file:///C:/Users/me/Lanternfold.msixbundle"),
         "ok with warnings", [], ["not-https"]),
    Case("UNC path", appinstaller("file://fileserver/share/Lanternfold.msixbundle"),
         "ok with warnings", [], ["not-https"]),
    Case("type App Installer does not open", appinstaller("Lanternfold.zip"), "ok with warnings",
         [], ["file-type"]),
    Case("manifest's own Uri elsewhere",
         appinstaller(root_uri="https://old.quillmoor.com/Lanternfold.appinstaller"),
         "ok with warnings", [], ["manifest-uri-differs"]),
]


@pytest.fixture(scope="module")
def fixtures(tmp_path_factory):
    folder = tmp_path_factory.mktemp("manifests")
    paths = []
    for i, case in enumerate(CASES):
        path = folder / f"{i:02d}.appinstaller"
        path.write_bytes(case.data())
        paths.append(path)
    return paths


@pytest.mark.parametrize("index", range(len(CASES)), ids=[c.name for c in CASES])
def test_one_manifest(tool, fixtures, index):
    case, path = CASES[index], fixtures[index]
    run = tool.run(path)
    assert run.exit_code == case.exit_code, run.stdout + run.stderr
    [found] = run.files()
    assert found["file"] == str(path)
    assert found["verdict"] == case.verdict
    assert found["problems"] == case.problems
    assert found["warnings"] == case.warnings
    for key, value in case.facts.items():
        assert found[key] == value, key


def test_strict_fails_on_warnings(tool, fixtures):
    warned = [p for c, p in zip(CASES, fixtures) if c.verdict == "ok with warnings"]
    run = tool.run("--strict", *warned)
    assert run.exit_code == 1
    assert {f["verdict"] for f in run.files()} == {"fail (warnings, with --strict)"}
    clean = fixtures[0]
    assert tool.run("--strict", clean).exit_code == 0


@pytest.mark.parametrize("args, exit_code, reads", [
    ([], 2, "usage"),
    (["--frobnicate", "{clean}"], 2, "unknown option"),
    (["{missing}"], 2, "cannot be opened"),
    (["{clean}", "{missing}"], 2, "cannot be opened"),
    (["{clean}", "{failing}"], 1, "verdict:      fail"),
    (["{clean}", "{warned}"], 0, "ok with warnings"),
    (["--help"], 0, "usage"),
], ids=["no-files", "unknown-option", "missing-file", "fine-and-missing", "fine-and-failing",
        "fine-and-warned", "help"])
def test_command_line(tool, fixtures, tmp_path, args, exit_code, reads):
    names = {"clean": fixtures[0], "missing": tmp_path / "no-such.appinstaller",
             "failing": fixtures[[c.name for c in CASES].index("empty file")],
             "warned": fixtures[[c.name for c in CASES].index("plain http")]}
    run = tool.run(*[a.format(**names) for a in args])
    assert run.exit_code == exit_code
    assert reads in run.stdout + run.stderr


def test_relative_and_non_ascii_paths(tool, tmp_path):
    folder = tmp_path / "Téléchargements de Zoë 東京"
    folder.mkdir()
    (folder / "Lanternfold 8.appinstaller").write_text(CLEAN, encoding="utf-8")
    run = tool.run("Téléchargements de Zoë 東京/Lanternfold 8.appinstaller", cwd=tmp_path)
    assert run.exit_code == 0, run.stdout + run.stderr
    assert run.files()[0]["file"] == "Téléchargements de Zoë 東京/Lanternfold 8.appinstaller"


def test_json_holds_the_same_facts_as_the_text(tool, fixtures):
    text = tool.run(*fixtures)
    data = tool.run("--json", *fixtures)
    assert data.exit_code == text.exit_code == 1
    report = data.json()
    assert report["manifestUrl"] == MANIFEST_URL
    assert report["exitCode"] == 1 and report["strict"] is False
    assert len(report["files"]) == len(CASES)
    for as_text, as_json, case in zip(text.files(), report["files"], CASES):
        assert as_json["file"] == as_text["file"]
        assert as_json["encoding"] == as_text["encoding"]
        assert as_json["verdict"] == as_text["verdict"] == case.verdict
        assert [p["code"] for p in as_json["problems"]] == as_text["problems"]
        assert [w["code"] for w in as_json["warnings"]] == as_text["warnings"]
        if as_json["element"] is None:
            assert as_text["element"] == "(none)"
            continue
        assert f'{as_json["element"]} at line {as_json["line"]}, column {as_json["column"]}' == \
            as_text["element"]
        assert as_json["uri"] == as_text["Uri"]
        assert (as_json["packageUrl"] or "(none)") == as_text["package URL"]
        assert (as_json["fileName"] or "(none)") == as_text["local file"]
    # A read error is a file of its own in the document.
    missing = pathlib.Path(fixtures[0]).with_name("missing.appinstaller")
    mixed = tool.run("--json", fixtures[0], missing).json()
    assert mixed["exitCode"] == 2
    assert mixed["files"][1] == {"file": str(missing),
                                 "error": "the file cannot be opened and read"}
