"""Two builds of the same sources, in different folders and at different times, give the same
bytes: anyone can rebuild the release from its commit and compare it with what was published
(before signing)."""
import hashlib
import time

import pefile

from release_helpers import ROOT, build_release


def fields(structure) -> dict:
    return {name: value["Value"] for name, value in structure.dump_dict().items()
            if isinstance(value, dict)}


def section_name(section) -> str:
    return section.Name.rstrip(b"\0").decode(errors="replace")


def differences(a: bytes, b: bytes) -> list[str]:
    """Where two builds of the executable differ, named by PE header field and section."""
    found = []
    if len(a) != len(b):
        found.append(f"file sizes {len(a)} and {len(b)}")
    pa, pb = pefile.PE(data=a), pefile.PE(data=b)
    for header in ["DOS_HEADER", "FILE_HEADER", "OPTIONAL_HEADER"]:
        fa, fb = fields(getattr(pa, header)), fields(getattr(pb, header))
        found += [f"{header}.{name}: {fa[name]!r} and {fb.get(name)!r}"
                  for name in fa if fa[name] != fb.get(name)]
    for da, db in zip(pa.OPTIONAL_HEADER.DATA_DIRECTORY, pb.OPTIONAL_HEADER.DATA_DIRECTORY):
        if (da.VirtualAddress, da.Size) != (db.VirtualAddress, db.Size):
            found.append(f"{da.name}: {da.VirtualAddress:#x}+{da.Size} and "
                         f"{db.VirtualAddress:#x}+{db.Size}")
    sections_b = {s.Name: s for s in pb.sections}
    for sa in pa.sections:
        name = section_name(sa)
        sb = sections_b.get(sa.Name)
        if sb is None:
            found.append(f"section {name} only in the first build")
            continue
        if fields(sa) != fields(sb):
            found.append(f"section {name}'s header")
        da, db = sa.get_data(), sb.get_data()
        if da != db:
            at = next((i for i, (x, y) in enumerate(zip(da, db)) if x != y), min(len(da), len(db)))
            found.append(f"section {name}'s contents, from offset {at:#x} of it: "
                         f"{da[at:at + 16].hex()} and {db[at:at + 16].hex()}")
    found += [f"section {section_name(s)} only in the second build"
              for s in pb.sections if s.Name not in {x.Name for x in pa.sections}]
    return found or ["bytes outside every header and section"]


def test_two_builds_are_byte_identical(tmp_path):
    # Different depths and lengths, so that an embedded build path would also move everything
    # after it.
    folders = [tmp_path / "a",
               tmp_path / "second-build-in-a-much-longer-folder" / "and-one-level-deeper"]
    first = build_release(folders[0]).read_bytes()
    # Anything that records the time of the build, to the second, now gives another value.
    time.sleep(2)
    second = build_release(folders[1]).read_bytes()

    assert hashlib.sha256(first).digest() == hashlib.sha256(second).digest(), \
        "the builds differ:\n" + "\n".join(differences(first, second))

    for path in [ROOT, tmp_path, *folders]:
        for encoding in ["utf-8", "utf-16-le"]:
            assert str(path).encode(encoding) not in first, f"{path} is in the executable"
