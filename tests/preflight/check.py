"""Runs check-manifest under Wine through tools/check-manifest.sh, and reads its text output."""
from __future__ import annotations

import dataclasses
import json
import os
import pathlib
import subprocess

ROOT = pathlib.Path(__file__).resolve().parents[2]
WRAPPER = ROOT / "tools" / "check-manifest.sh"


@dataclasses.dataclass
class Run:
    exit_code: int
    stdout: str
    stderr: str

    def files(self) -> list[dict]:
        """The text output, a dict per file: its name, one value per "key:" line (the Uri and
        URL as written), and the codes of its problems and warnings in order."""
        files = []
        for block in self.stdout.strip("\n").split("\n\n"):
            lines = block.split("\n")
            entry = {"file": lines[0], "problems": [], "warnings": []}
            for line in lines[1:]:
                key, _, value = line.strip().partition(":")
                value = value.strip()
                if key in ("problem", "warning"):
                    entry[key + "s"].append(value.split(":", 1)[0])
                else:
                    entry[key] = value
            files.append(entry)
        return files

    def json(self) -> dict:
        return json.loads(self.stdout)


class Tool:
    def __init__(self, exe: pathlib.Path, prefix: pathlib.Path):
        assert exe.exists(), f"{exe} is missing: build the windows preset first"
        self.env = {**os.environ, "CHECK_MANIFEST_EXE": str(exe),
                    "CHECK_MANIFEST_PREFIX": str(prefix), "WINEPREFIX": str(prefix),
                    "WINEDEBUG": "-all"}
        # The wrapper makes the prefix on its first run. Then one wineserver, with Wine's own
        # services, is kept for the session, started with no pipe of ours: a run that started
        # them would wait for them to end.
        self.run("--help")
        quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, **quiet)
        subprocess.run(["wineboot"], env=self.env, check=True, **quiet)

    def run(self, *args, cwd: pathlib.Path | None = None) -> Run:
        done = subprocess.run([str(WRAPPER), *map(str, args)], env=self.env, cwd=cwd,
                              capture_output=True, timeout=120)
        return Run(done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8"))

    def shutdown(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
