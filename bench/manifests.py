"""Writes the package locator's benchmark manifests (bench/locator_cases.cpp names the cases), or
checks that the ones already there are exactly what it would write.

Each file is exactly 1, 64 or 512 MiB: an App Installer manifest whose bulk is an XML comment of
plain ASCII prose, with the main bundle element as the very last thing, so that the locator scans
the whole text before it finds it. The UTF-16 files carry the FF FE mark and the same text, shorter
by half to make the same number of bytes.

Usage: manifests.py <folder>
"""

from __future__ import annotations

import os
import pathlib
import sys
from typing import Iterator

MIB = 1 << 20
SIZES = [1, 64, 512]
ENCODINGS = {"utf8": ("utf-8", b""), "utf16": ("utf-16-le", b"\xff\xfe")}
HEAD = ('<?xml version="1.0" encoding="{encoding}"?>\n'
        '<AppInstaller xmlns="http://schemas.microsoft.com/appx/appinstaller/2018"\n'
        '              Version="8.0.0.0"\n'
        '              Uri="https://downloads.quillmoor.com/downloads/Lanternfold-8.appinstaller">\n'
        "  <!--\n")
FILLER = ("  Release notes and licence terms would sit here in a real manifest; this text only\n"
          "  makes the file large. It is plain ASCII, has no markup in it and never names the\n"
          "  element the installer looks for, so nothing before the end can satisfy the scan.\n")
TAIL = ('\n  -->\n'
        '  <MainBundle Name="Quillmoor.Lanternfold" Publisher="CN=Quillmoor" Version="8.0.0.0"'
        ' Uri="Lanternfold.msixbundle" />')
CHUNK = 1 << 20


def name(encoding: str, mebibytes: int) -> str:
    return f"{encoding}-{mebibytes}mib.appinstaller"


def content(encoding: str, mebibytes: int) -> Iterator[bytes]:
    """The file's bytes, in chunks of about CHUNK."""
    codec, mark = ENCODINGS[encoding]
    unit = len("a".encode(codec))
    head = HEAD.format(encoding="utf-16" if encoding == "utf16" else "utf-8")
    characters = (mebibytes * MIB - len(mark)) // unit
    filler = characters - len(head) - len(TAIL)
    block = FILLER * (CHUNK // unit // len(FILLER) + 1)
    yield mark + head.encode(codec)
    while filler > 0:
        piece = block[:filler]
        filler -= len(piece)
        yield piece.encode(codec)
    yield TAIL.encode(codec)


def matches(path: pathlib.Path, encoding: str, mebibytes: int) -> bool:
    if not path.is_file() or path.stat().st_size != mebibytes * MIB:
        return False
    with path.open("rb") as f:
        return all(f.read(len(piece)) == piece for piece in content(encoding, mebibytes)) \
            and f.read(1) == b""


def main() -> int:
    folder = pathlib.Path(sys.argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    for encoding in ENCODINGS:
        for mebibytes in SIZES:
            path = folder / name(encoding, mebibytes)
            # Reading a file through also brings it into the page cache for the runs that follow.
            if matches(path, encoding, mebibytes):
                print(f"  {path.name}: present and correct")
                continue
            partial = path.with_suffix(".partial")
            with partial.open("wb") as f:
                for piece in content(encoding, mebibytes):
                    f.write(piece)
            os.replace(partial, path)
            if not matches(path, encoding, mebibytes):
                print(f"  {path.name}: written, but does not read back as written")
                return 1
            print(f"  {path.name}: written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
