"""Start-up overhead under Wine: the installer against the least program that does its usual job.

On the road where App Installer takes the manifest, the installer fetches the manifest from the
local HTTPS server into the temporary folder and has the shell open it. bench/floor/reference.c
does only that: URLDownloadToFileW into the same file, then ShellExecuteExW with the same verb and
show state. Both are launched the same way (`wine <exe>` from the same folder, same environment,
relay tracing off) in alternating order, and timed from the launch to the process's end; the
processor time the process used (user and system, from its resource usage) is reported beside it,
since Wine's start-up and the TLS handshake dominate the wall time and move it in steps. Both
start the same stand-in App Installer; each run waits until it has recorded the file and ended, so
that it never overlaps the next run. The temporary file is removed before every run.

Usage: startup.py [runs per program, at least 10]
"""

from __future__ import annotations

import os
import pathlib
import resource
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "e2e"))

import floors  # noqa: E402
import harness  # noqa: E402
from demo import SAMPLE_MANIFEST  # noqa: E402
from harness import Response  # noqa: E402

TARGET = 0.10
WARM_UP = 2
MANIFEST_NAME = "Lanternfold-8.appinstaller"


def handler_running(world: harness.World) -> bool:
    """Whether a stand-in App Installer of this prefix is still alive."""
    marker = f"WINEPREFIX={world.prefix.path}".encode()
    for proc in pathlib.Path("/proc").iterdir():
        if not proc.name.isdigit():
            continue
        try:
            if b"handler.exe" in (proc / "cmdline").read_bytes() and \
                    marker in (proc / "environ").read_bytes().split(b"\0"):
                return True
        except OSError:
            continue
    return False


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run_once(world: harness.World, exe: pathlib.Path) -> tuple[float, float, int]:
    """Seconds from launch to exit, processor seconds, and how many requests the server saw."""
    (world.prefix.temp / MANIFEST_NAME).unlink(missing_ok=True)
    world.prefix.opened_log().unlink(missing_ok=True)
    before = len(world.server.requests)
    cpu = cpu_seconds()
    start = time.perf_counter()
    process = subprocess.run(["wine", str(exe)], env=world.prefix.env, cwd=exe.parent,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    elapsed = time.perf_counter() - start
    cpu = cpu_seconds() - cpu
    if process.returncode != 0:
        raise RuntimeError(f"{exe.name} ended with {process.returncode}")
    # The handler was started, not awaited: let it record the file and go.
    harness.wait_until(lambda: world.prefix.opened_log().exists() and MANIFEST_NAME in
                       world.prefix.opened_log().read_text(errors="replace"), 30)
    harness.wait_until(lambda: not handler_running(world), 30)
    return elapsed, cpu, len(world.server.requests) - before


def main() -> int:
    runs = max(10, int(sys.argv[1]) if len(sys.argv) > 1 else 15)
    print("Preparing Wine, the server and the installer (about a minute)...", flush=True)
    world = harness.World.create(harness.ROOT / "build" / "bench" / "wine")
    try:
        world.server.reset({harness.MANIFEST_PATH:
                            Response(SAMPLE_MANIFEST.format(host=world.host).encode())})
        world.prefix.set_associations({".appinstaller"})
        folder = world.case_dir("startup")
        url = world.manifest_url.replace("\\", "\\\\").replace('"', '\\"')
        programs = {
            "installer": folder / harness.EXE_NAME,
            "reference": floors.build("reference.c", folder / "Reference.exe", ["urlmon", "shell32"],
                                      [f'MANIFEST_URL=L"{url}"']),
        }
        times: dict[str, list[float]] = {name: [] for name in programs}
        cpus: dict[str, list[float]] = {name: [] for name in programs}
        requests: dict[str, set[int]] = {name: set() for name in programs}
        for i in range(WARM_UP + runs):
            order = list(programs) if i % 2 == 0 else list(reversed(programs))
            for name in order:
                seconds, cpu, seen = run_once(world, programs[name])
                if i >= WARM_UP:
                    times[name].append(seconds)
                    cpus[name].append(cpu)
                    requests[name].add(seen)
    finally:
        world.close()

    print(f"Start to exit under Wine, accepted manifest, WINEDEBUG=-all, {runs} runs each "
          f"(after {WARM_UP} warm-up runs), alternating; times in ms")
    print(f"  {'program':<10}{'median':>8}{'min':>8}{'quartiles':>18}{'processor':>11}"
          f"{'requests/run':>14}")
    medians, processor = {}, {}
    for name, values in times.items():
        values.sort()
        medians[name] = statistics.median(values)
        processor[name] = statistics.median(cpus[name])
        low, _, high = statistics.quantiles(values, n=4)
        print(f"  {name:<10}{medians[name] * 1e3:>8.1f}{values[0] * 1e3:>8.1f}"
              f"{low * 1e3:>9.1f} ..{high * 1e3:>6.1f}{processor[name] * 1e3:>11.1f}"
              f"{','.join(map(str, sorted(requests[name]))):>14}")
    ratio = medians["installer"] / medians["reference"]
    verdict = "met" if ratio <= 1 + TARGET else "MISSED"
    print(f"  installer / reference: wall {ratio:.3f} (target <= {1 + TARGET:.2f}: {verdict}),"
          f" processor {processor['installer'] / processor['reference']:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
