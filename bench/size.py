"""The installer's size: its bytes split into resources and the rest, against the floor program
(bench/floor/minimal.c), and where the rest comes from according to the installer's link map.

Usage: size.py <windows-bench build folder> <output folder for the floor>
"""

from __future__ import annotations

import collections
import pathlib
import re
import subprocess
import sys

import pefile

import floors

KIB = 1024
# No growth: the whole image stays within 500 KiB, and what is not resources within 180 KiB.
TARGET_TOTAL = 500 * KIB
TARGET_NON_RESOURCE = 180 * KIB
# Output sections that hold no file bytes, or that are counted apart.
NOT_COUNTED = re.compile(r"^\.(bss|rsrc|debug.*|eh_frame)$")


def split(exe: pathlib.Path) -> tuple[int, int, dict[str, int]]:
    """(file bytes, bytes of .rsrc, raw bytes per section)."""
    pe = pefile.PE(str(exe), fast_load=True)
    sections = {s.Name.rstrip(b"\0").decode(): s.SizeOfRawData for s in pe.sections}
    return exe.stat().st_size, sections.get(".rsrc", 0), sections


def short(name: str) -> str:
    """An archive member as 'libstdc++.a(functexcept.o)', an object by its own name."""
    name = re.sub(r"^.*/(?=[^/]+\.a\()", "", name)
    return re.sub(r"^CMakeFiles/[^/]+\.dir/", "", name)


def parse_map(path: pathlib.Path):
    """(bytes per input file, member -> (file that made ld include it, symbol))."""
    lines = path.read_text(errors="replace").splitlines()
    why: dict[str, tuple[str, str]] = {}
    i = 0
    while i < len(lines) and not lines[i].startswith("Archive member included"):
        i += 1
    i += 1
    pending = None
    while i < len(lines) and not lines[i].startswith(("Discarded input", "Memory Configuration")):
        line = lines[i]
        i += 1
        if not line.strip():
            continue
        if not line.startswith(" "):
            parts = re.match(r"^(\S+\))(?:\s+(\S+) \((.*)\))?\s*$", line)
            if parts and parts.group(2):
                why[short(parts.group(1))] = (short(parts.group(2)), parts.group(3))
            elif parts:
                pending = short(parts.group(1))
            continue
        parts = re.match(r"^\s+(\S+) \((.*)\)\s*$", line)
        if parts and pending:
            why[pending] = (short(parts.group(1)), parts.group(2))
            pending = None

    sizes: collections.Counter[str] = collections.Counter()
    while i < len(lines) and not lines[i].startswith("Linker script and memory map"):
        i += 1
    section = None
    name = None
    for line in lines[i + 1:]:
        head = re.match(r"^(\.\S+|\S+)(?:\s+0x[0-9a-f]+\s+0x[0-9a-f]+.*)?$", line)
        if head and not line.startswith((" ", "LOAD ", "OUTPUT(")):
            section = head.group(1)
            continue
        if section is None or NOT_COUNTED.match(section):
            continue
        entry = re.match(r"^ (\S+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$", line)
        if entry and entry.group(1) != "*fill*":
            sizes[short(entry.group(4))] += int(entry.group(3), 16)
            name = None
            continue
        alone = re.match(r"^ (\S+)$", line)
        if alone:
            name = alone.group(1)
            continue
        rest = re.match(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$", line)
        if rest and name:
            sizes[short(rest.group(3))] += int(rest.group(2), 16)
        name = None
    return sizes, why


def pulled_in(why: dict[str, tuple[str, str]], sizes: dict[str, int]):
    """For each archive member that one of our own objects made ld include, its bytes together with
    those of every member included, directly or not, on its account."""
    children = collections.defaultdict(list)
    for member, (referrer, _) in why.items():
        children[referrer].append(member)

    def total(member: str) -> int:
        return sizes.get(member, 0) + sum(total(child) for child in children[member])

    ours = re.compile(r"^(host/|lib(bootstrap|host_core|platform_win32)\.a\()")
    roots = [(total(m), m, r, s) for m, (r, s) in why.items() if ours.match(r) and not ours.match(m)]
    return sorted(roots, reverse=True)


def throw_helpers(build_dir: pathlib.Path, map_path: pathlib.Path) -> tuple[set[str], set[str]]:
    """(std::__throw_* functions our objects call, those the link kept)."""
    ours = [*build_dir.glob("lib*.a"), *build_dir.glob("CMakeFiles/installer.dir/**/*.obj")]
    undefined = subprocess.run(["x86_64-w64-mingw32-nm", "-C", "-u", *map(str, ours)], check=True,
                               capture_output=True, text=True).stdout
    called = set(re.findall(r"std::(__throw_\w+)", undefined))
    kept = set(re.findall(r"^\s+0x[0-9a-f]+\s+std::(__throw_\w+)\(", map_path.read_text(), re.M))
    return called, kept


def main() -> int:
    build_dir, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    installer = build_dir / "Quillmoor.Installer.exe"
    floor = floors.build("minimal.c", out / "minimal.exe", ["shlwapi", "shell32", "user32", "ole32"])
    if not floors.link_flags_match(build_dir / "build.ninja"):
        print("warning: the installer's link options differ from the floor's:",
              " ".join(floors.installer_link_flags(build_dir / "build.ninja")))

    total, rsrc, sections = split(installer)
    rest = total - rsrc
    floor_total, floor_rsrc, _ = split(floor)
    floor_rest = floor_total - floor_rsrc
    print("Size (bytes in the file)")
    print(f"  installer            {total:8d}  ({total / KIB:.1f} KiB)   target <= {TARGET_TOTAL}"
          f" ({TARGET_TOTAL // KIB} KiB): {'met' if total <= TARGET_TOTAL else 'MISSED'}"
          f" by {abs(TARGET_TOTAL - total)} bytes")
    print(f"    resources (.rsrc)  {rsrc:8d}  ({rsrc / KIB:.1f} KiB)")
    print(f"    the rest           {rest:8d}  ({rest / KIB:.1f} KiB)   target <= {TARGET_NON_RESOURCE}"
          f" ({TARGET_NON_RESOURCE // KIB} KiB): {'met' if rest <= TARGET_NON_RESOURCE else 'MISSED'}"
          f" by {abs(TARGET_NON_RESOURCE - rest)} bytes")
    print("      by section: " + ", ".join(f"{n} {b}" for n, b in sections.items() if n != ".rsrc")
          + f", headers {total - sum(sections.values())}")
    print(f"  floor (minimal.c)    {floor_rest:8d}  ({floor_rest / KIB:.1f} KiB, no resources)")
    print(f"  installer rest / floor: {rest / floor_rest:.2f}x")

    sizes, why = parse_map(build_dir / "bench" / "installer.map")
    print("\nLargest input files in the link map (bytes of every kept section but .bss and .rsrc,"
          " before file alignment)")
    for name, size in sizes.most_common(12):
        print(f"  {size:7d}  {name}")
    by_archive: collections.Counter[str] = collections.Counter()
    for name, size in sizes.items():
        archive = re.match(r"^([^(]+\.a)\(", name)
        by_archive[archive.group(1) if archive else "our objects and crt"] += size
    print("\nBy archive")
    for name, size in by_archive.most_common():
        print(f"  {size:7d}  {name}")
    print("\nWhat our code pulls in from the runtime (a member and all that ld included on its"
          " account)")
    for size, member, referrer, symbol in pulled_in(why, sizes)[:6]:
        print(f"  {size:7d}  {member}  <- {referrer} ({symbol})")
    called, kept = throw_helpers(build_dir, build_dir / "bench" / "installer.map")
    print(f"\nstd::__throw_* helpers: our code calls {len(called)} ({', '.join(sorted(called))});"
          f" the link kept {len(kept)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
