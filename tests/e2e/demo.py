"""A complete install flow on this machine: the real installer, built for a local HTTPS server,
run under Wine with a stand-in for Windows App Installer, told in plain words."""

import pathlib
import sys

import harness
from harness import Response

SAMPLE_MANIFEST = """<?xml version="1.0" encoding="utf-8"?>
<AppInstaller xmlns="http://schemas.microsoft.com/appx/appinstaller/2018"
              Version="8.0.0.0"
              Uri="https://{host}/downloads/Lanternfold-8.appinstaller">
  <MainBundle Name="Quillmoor.Lanternfold"
              Publisher="CN=Quillmoor"
              Version="8.0.0.0"
              Uri="Lanternfold.msixbundle" />
  <UpdateSettings>
    <OnLaunch HoursBetweenUpdateChecks="24" />
  </UpdateSettings>
</AppInstaller>
"""
SAMPLE_PACKAGE = b"A stand-in for the Lanternfold 8 bundle.\n"


def tell(world: harness.World, result: harness.RunResult):
    for call in result.calls:
        if call.name == "URLDownloadToFileW":
            outcome = "done" if call.retval < 0x80000000 else f"failed (0x{call.retval:08X})"
            print(f"  fetched {call.strings[1]}\n      into {call.strings[2]}: {outcome}")
        elif call.name == "Sleep":
            print(f"  waited {call.args[0]} ms before trying again")
        elif call.name == "ShellExecuteExW":
            print("  asked the shell to open it: " +
                  ("accepted" if call.retval else "refused (no program handles that type)"))
        elif call.name == "UrlCombineW":
            print(f"  read the manifest; its main package is {call.strings[1]!r}")
    for path in result.opened:
        print(f"  App Installer (the stand-in) was asked to open {path}")
    for text in result.messages:
        print(f"  the user saw a message box: \"{text}\"")
    if not result.messages:
        print("  the user saw no message at all")
    print(f"  the installer ended with exit code {result.exit_code}")


def main() -> int:
    print("Building the installer for a local server and preparing Wine (about a minute)...")
    world = harness.World.create(harness.ROOT / "build" / "demo")
    try:
        world.server.reset({
            harness.MANIFEST_PATH: Response(SAMPLE_MANIFEST.format(host=world.host).encode()),
            "/downloads/Lanternfold.msixbundle": Response(SAMPLE_PACKAGE),
        })
        print(f"\nInstaller: {world.exe.relative_to(harness.ROOT)}")
        print(f"Server:    {world.manifest_url} (a test CA, trusted inside Wine only)")

        scenarios = [
            ("App Installer handles .appinstaller files", {".appinstaller", ".msixbundle"}),
            ("App Installer refuses the manifest, but handles the bundle", {".msixbundle"}),
            ("Nothing handles either file", set()),
        ]
        ok = True
        for title, types in scenarios:
            world.clear_temp()
            world.prefix.set_associations(types)
            print(f"\n{title}:")
            result = harness.run_installer(world.prefix,
                                           world.case_dir("demo") / harness.EXE_NAME)
            tell(world, result)
            ok = ok and result.exit_code == 0
        kept = sorted(p.name for p in world.prefix.temp.iterdir())
        print(f"\nLeft in the temporary folder: {', '.join(kept)}")
        return 0 if ok else 1
    finally:
        world.close()


if __name__ == "__main__":
    sys.exit(main())
