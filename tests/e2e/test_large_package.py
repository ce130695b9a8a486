"""A package of 4 GiB + 300 MiB on the fallback road, against the real installer under Wine.

The service's byte counts are 32 bits wide: they wrap at 4 GiB, and under Wine the announced
maximum is pinned at 2^31 - 1. An honest download of any size must still count as one.

The server makes the body as it sends it, so no file of that size lies on its side. Wine writes
the download into its web cache and then copies it to the target, so the run needs twice the
package on disk at its peak, and it takes a minute or two. `-m "not large"` leaves it out.
"""
import shutil
import time

import pytest

import harness
from harness import Generated, Response
from test_roads import manifest

SIZE = (4 << 30) + (300 << 20)
BUNDLE = "Lanternfold.msixbundle"
REPORT = harness.ROOT / "build" / "e2e" / "large-package.txt"


def remove_big_files(world):
    (world.prefix.temp / BUNDLE).unlink(missing_ok=True)
    shutil.rmtree(world.prefix.web_cache, ignore_errors=True)


@pytest.mark.large
def test_package_over_4_gib(world):
    remove_big_files(world)
    free = shutil.disk_usage(world.prefix.path).free
    # The run peaks at twice the package (Wine's cache copy and the target), and the rest of the
    # suite leaves Wine's cache behind it too.
    if free < 2.5 * SIZE:
        pytest.skip(f"needs {2.5 * SIZE / 2**30:.1f} GiB free on {world.prefix.path}, "
                    f"has {free / 2**30:.1f}")
    world.clear_temp()
    world.server.reset({harness.MANIFEST_PATH: Response(manifest()),
                        "/downloads/" + BUNDLE: Generated(SIZE)})
    world.prefix.set_associations({".msixbundle"})
    case = world.case_dir("package-over-4-gib")
    try:
        disk = harness.PeakDiskUse(world.prefix.path)
        started = time.monotonic()
        result = harness.run_installer(world.prefix, case / harness.EXE_NAME, timeout=1200)
        seconds = time.monotonic() - started
        peak = disk.stop()

        assert result.exit_code == 0
        fetches = [c for c in result.calls if c.name == "URLDownloadToFileW"]
        assert [c.strings[1] for c in fetches] == [world.manifest_url,
                                                   world.manifest_dir + BUNDLE]
        assert [c.retval for c in fetches] == [0, 0]
        assert not [c for c in result.calls if c.name == "Sleep"]
        assert result.messages == []
        assert result.opened == [world.prefix.temp_windows + BUNDLE]
        assert harness.matches_generated(world.prefix.temp / BUNDLE, SIZE)
        REPORT.write_text(f"package {SIZE} bytes: run {seconds:.0f} s, package attempt "
                          f"{fetches[1].ended - fetches[1].started:.0f} s, peak extra disk "
                          f"{peak / 2**30:.1f} GiB ({peak / SIZE:.2f}x the package)\n")
    finally:
        world.server.released.set()
        remove_big_files(world)
