"""Builds the C programs the installer is measured against (bench/floor/) with the installer's own
settings: the same cross compiler, MinSizeRel's -Os, one section per function and datum, and the
installer's link options (CMakeLists.txt): static, stripped, GUI subsystem 6.0, --gc-sections."""

from __future__ import annotations

import pathlib
import re
import subprocess

HERE = pathlib.Path(__file__).resolve().parent
CC = "x86_64-w64-mingw32-gcc"
COMPILE = ["-Os", "-DNDEBUG", "-ffunction-sections", "-fdata-sections",
           "-DUNICODE", "-D_UNICODE", "-DWIN32_LEAN_AND_MEAN", "-D_WIN32_WINNT=0x0601",
           "-Wall", "-Wextra", "-Werror"]
# What CMake passes when it links the installer, WIN32 executable included.
LINK = ["-mwindows", "-municode", "-static", "-s", "-Wl,--subsystem,windows:6.0",
        "-Wl,--dynamicbase", "-Wl,--high-entropy-va", "-Wl,--nxcompat",
        "-Wl,--no-insert-timestamp", "-Wl,--gc-sections"]


def build(source: str, out: pathlib.Path, libraries: list[str],
          defines: list[str] = (), console: bool = False) -> pathlib.Path:
    """Builds bench/floor/`source`; a `console` program (wmain) instead of a GUI one."""
    out.parent.mkdir(parents=True, exist_ok=True)
    link = [f for f in LINK if f != "-mwindows"]
    if console:
        link = [f.replace("--subsystem,windows", "--subsystem,console") for f in link]
    else:
        link = ["-mwindows", *link]
    subprocess.run([CC, *COMPILE, *[f"-D{d}" for d in defines], *link, "-o", str(out),
                    str(HERE / "floor" / source), *[f"-l{lib}" for lib in libraries]], check=True)
    return out


def installer_link_flags(build_ninja: pathlib.Path) -> list[str]:
    """The installer's LINK_FLAGS as CMake wrote them, without the link map."""
    text = build_ninja.read_text()
    block = re.search(r"^build Quillmoor\.Installer\.exe:.*?(?=^build |\Z)", text, re.M | re.S)
    flags = re.search(r"^\s+LINK_FLAGS = (.*)$", block.group(0), re.M) if block else None
    if not flags:
        return []
    return [f for f in flags.group(1).split() if not f.startswith("-Wl,-Map")]


def link_flags_match(build_ninja: pathlib.Path) -> bool:
    return installer_link_flags(build_ninja) == LINK
