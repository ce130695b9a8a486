"""What a user waits for, measured under Wine against a local HTTPS server, each figure against a
baseline measured in the same run:

- hand-off: from the launch to the moment App Installer (a stand-in, registered through the
  shell) is handed the file, on the manifest road and on the fallback road with a 64 MiB
  package, against bench/floor/reference.c, which makes the same calls and nothing else;
- package throughput: a 512 MiB package on the fallback road, timed on the server from the
  package's request to its last byte, against a bare URLDownloadToFileW with no callback
  (bench/floor/bare.c), with curl on the Linux side as the ceiling of this machine;
- traffic and disk: the bytes the server sent per byte of package, on the clean road and on a
  road where the first package attempt is cut off half-way, and the peak extra disk in use while
  the 512 MiB package downloads.

Programs run alternately, untraced, `runs` times each after one warm-up. Medians with their
minimum and maximum.

Usage: downloads.py [runs per program, at least 5] [handoff] [throughput] [traffic]
(all three when none is named)
"""

from __future__ import annotations

import pathlib
import shutil
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "e2e"))

import floors  # noqa: E402
import harness  # noqa: E402
from demo import SAMPLE_MANIFEST  # noqa: E402
from harness import Generated, Response, Sequence  # noqa: E402

MiB = 1 << 20
HANDOFF_PACKAGE = 64 * MiB
THROUGHPUT_PACKAGE = 512 * MiB
BUNDLE = "Lanternfold.msixbundle"
BUNDLE_PATH = "/downloads/" + BUNDLE
MANIFEST = "Lanternfold-8.appinstaller"
HANDOFF_TARGET = 1.05
THROUGHPUT_TARGET = 0.95


def clear(world):
    """No file of an earlier run in the temporary folder or in Wine's web cache."""
    world.clear_temp()
    shutil.rmtree(world.prefix.web_cache, ignore_errors=True)
    world.prefix.opened_log().unlink(missing_ok=True)


class Dismisser:
    """Presses OK on every dialog box while it runs: on the fallback road the shell reports that
    nothing opens the manifest, for the installer and the reference alike."""

    def __init__(self, world):
        folder = world.root / "dismiss"
        folder.mkdir(exist_ok=True)
        self._stop = folder / "stop"
        self._stop.unlink(missing_ok=True)
        self._process = subprocess.Popen(
            ["wine", str(world.prefix.helpers["dismiss"]), harness.windows_path(folder / "boxes.log"),
             harness.windows_path(self._stop)], env=world.prefix.env,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        self._stop.touch()
        self._process.wait(30)


def handler_running(world) -> bool:
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


def handed_off(world, exe: pathlib.Path, name: str) -> float:
    """Runs `exe` and gives the seconds from its launch to the stand-in App Installer's record of
    `name`, which it writes as it starts."""
    clear(world)
    log = world.prefix.opened_log()
    started = time.time()
    process = subprocess.run(["wine", str(exe)], env=world.prefix.env, cwd=exe.parent,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
    if process.returncode != 0:
        raise RuntimeError(f"{exe.name} ended with {process.returncode}")
    harness.wait_until(lambda: log.exists() and name in log.read_text(errors="replace"), 30)
    seconds = log.stat().st_mtime - started
    harness.wait_until(lambda: not handler_running(world), 30)
    return seconds


def spread(values: list[float], scale: float = 1.0, digits: int = 1) -> str:
    return (f"median {statistics.median(values) * scale:.{digits}f}, min {min(values) * scale:.{digits}f},"
            f" max {max(values) * scale:.{digits}f}")


def alternate(programs: dict, runs: int, measure) -> dict[str, list]:
    """`measure(name, program)` for every program, one warm-up round, then `runs` rounds in
    rotating order."""
    results = {name: [] for name in programs}
    names = list(programs)
    for round_ in range(runs + 1):
        order = names[round_ % len(names):] + names[:round_ % len(names)]
        for name in order:
            value = measure(name, programs[name])
            if round_:
                results[name].append(value)
    return results


def handoff(world, programs, runs) -> tuple[list, dict]:
    """Both roads; gives the summary lines and the clean road's traffic per run."""
    lines = []
    traffic = []
    manifest = SAMPLE_MANIFEST.format(host=world.host).encode()
    for road, associations, routes, name in [
        ("manifest road", {".appinstaller"}, {harness.MANIFEST_PATH: Response(manifest)}, MANIFEST),
        (f"fallback road, {HANDOFF_PACKAGE // MiB} MiB package", {".msixbundle"},
         {harness.MANIFEST_PATH: Response(manifest), BUNDLE_PATH: Generated(HANDOFF_PACKAGE)},
         BUNDLE),
    ]:
        world.server.reset(routes)
        world.prefix.set_associations(associations)

        def measure(program, exe):
            seconds = handed_off(world, exe, name)
            if program == "installer" and name == BUNDLE:
                traffic.append(sum(t.sent for t in world.server.transfers) / HANDOFF_PACKAGE)
            world.server.transfers.clear()
            return seconds

        times = alternate(programs, runs, measure)
        ratio = statistics.median(times["installer"]) / statistics.median(times["reference"])
        # Each run's ratio to the run beside it shows how far one pair of runs can stray.
        pairs = [i / r for i, r in zip(times["installer"], times["reference"])]
        lines.append(f"  {road}:")
        for program, values in times.items():
            lines.append(f"    {program:<10} ms: {spread(values, 1e3)}")
        lines.append(f"    installer / reference: {ratio:.3f} (target <= {HANDOFF_TARGET:.2f}:"
                     f" {'met' if ratio <= HANDOFF_TARGET else 'MISSED'}); run by run"
                     f" {min(pairs):.2f} .. {max(pairs):.2f}")
    return lines, traffic


def throughput(world, programs, bare, runs) -> list[str]:
    manifest = SAMPLE_MANIFEST.format(host=world.host).encode()
    world.server.reset({harness.MANIFEST_PATH: Response(manifest),
                        BUNDLE_PATH: Generated(THROUGHPUT_PACKAGE)})
    world.prefix.set_associations({".msixbundle"})
    url = world.manifest_dir + BUNDLE
    target = world.prefix.temp / BUNDLE
    disk: dict[str, list[float]] = {"installer": [], "bare call": []}

    def measure(program, command):
        clear(world)
        world.server.transfers.clear()
        peak = harness.PeakDiskUse(world.prefix.path)
        if program == "installer":
            handed_off(world, command, BUNDLE)
        else:
            subprocess.run(command, env=world.prefix.env, check=True, timeout=600,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        extra = peak.stop()
        if program in disk:
            disk[program].append(extra / THROUGHPUT_PACKAGE)
        [transfer] = [t for t in world.server.transfers if t.path.startswith(BUNDLE_PATH)]
        assert transfer.sent == THROUGHPUT_PACKAGE and target.stat().st_size == THROUGHPUT_PACKAGE
        return THROUGHPUT_PACKAGE / MiB / (transfer.ended - transfer.started)

    commands = {
        "installer": programs["installer"],
        "bare call": ["wine", str(bare), url, world.prefix.temp_windows + BUNDLE],
        "curl": ["curl", "--silent", "--fail", "--cacert", str(world.tls.ca_pem), "--output",
                 str(target), url],
    }
    rates = alternate(commands, runs, measure)
    lines = [f"  {THROUGHPUT_PACKAGE // MiB} MiB package, server's clock from request to last byte,"
             " MiB/s:"]
    for program, values in rates.items():
        lines.append(f"    {program:<10} {spread(values)}")
    bare_rate = statistics.median(rates["bare call"])
    ratio = statistics.median(rates["installer"]) / bare_rate
    lines.append(f"    installer / bare call: {ratio:.3f} (target >= {THROUGHPUT_TARGET:.2f}:"
                 f" {'met' if ratio >= THROUGHPUT_TARGET else 'MISSED'});"
                 f" curl / bare call: {statistics.median(rates['curl']) / bare_rate:.2f}"
                 " (this machine's ceiling, not a target)")
    lines.append("  peak extra disk in use while it downloads, per byte of package:")
    for program, values in disk.items():
        lines.append(f"    {program:<10} {spread(values, digits=2)}")
    return lines


def failed_attempt_traffic(world, installer) -> float:
    """Bytes sent per byte of package when the first package attempt is cut off half-way."""
    manifest = SAMPLE_MANIFEST.format(host=world.host).encode()
    world.server.reset({harness.MANIFEST_PATH: Response(manifest), BUNDLE_PATH: Sequence(
        Generated(HANDOFF_PACKAGE, cut_at=HANDOFF_PACKAGE // 2), Generated(HANDOFF_PACKAGE))})
    world.prefix.set_associations({".msixbundle"})
    handed_off(world, installer, BUNDLE)
    sent = [t.sent for t in world.server.transfers if t.path.startswith(BUNDLE_PATH)]
    assert len(sent) == 2, sent
    return sum(sent) / HANDOFF_PACKAGE


def main() -> int:
    runs = max(5, int(sys.argv[1]) if len(sys.argv) > 1 else 7)
    parts = set(sys.argv[2:]) or {"handoff", "throughput", "traffic"}
    print("Preparing Wine, the server and the programs (about a minute)...", file=sys.stderr)
    world = harness.World.create(harness.ROOT / "build" / "bench" / "wine", stall_timeout_ms=60000)
    dismisser = Dismisser(world)
    out = []
    try:
        folder = world.case_dir("downloads")
        url = world.manifest_url.replace("\\", "\\\\").replace('"', '\\"')
        programs = {
            "installer": folder / harness.EXE_NAME,
            "reference": floors.build("reference.c", folder / "Reference.exe",
                                      ["urlmon", "shell32", "shlwapi"],
                                      [f'MANIFEST_URL=L"{url}"']),
        }
        if "handoff" in parts:
            print("hand-off...", file=sys.stderr)
            lines, clean_traffic = handoff(world, programs, runs)
            out += [f"Time to hand-off under Wine, untraced, {runs} runs each after a warm-up,"
                    " alternating", *lines]
        if "throughput" in parts:
            print("throughput...", file=sys.stderr)
            bare = floors.build("bare.c", folder / "Bare.exe", ["urlmon"], console=True)
            out += ["Package throughput under Wine", *throughput(world, programs, bare, runs)]
        if "traffic" in parts:
            print("traffic...", file=sys.stderr)
            out.append("Traffic: bytes the server sent per byte of package")
            if "handoff" in parts:
                out.append(f"  clean road ({HANDOFF_PACKAGE // MiB} MiB, {len(clean_traffic)} runs):"
                           f" {min(clean_traffic):.4f} .. {max(clean_traffic):.4f}"
                           " (target exactly 1.00)")
            out.append("  first attempt cut off half-way, then whole:"
                       f" {failed_attempt_traffic(world, programs['installer']):.4f}")
    finally:
        dismisser.stop()
        clear(world)
        world.close()
    print("\n".join(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
