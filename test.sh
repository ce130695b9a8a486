#!/usr/bin/env bash
# Builds everything and runs every test. Works on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh

cmake --preset native
cmake --build --preset native
cmake --preset windows
cmake --build --preset windows
cmake --preset native-asan
cmake --build --preset native-asan
cmake --preset fuzz
cmake --build --preset fuzz

ctest --preset native
# The same suite with AddressSanitizer and UndefinedBehaviorSanitizer, which
# stop at the first report.
ctest --preset native-asan


# The real Windows platform layer, under Wine, in a prefix of its own so that
# nothing of the user's ~/.wine is read or changed. The prefix is made once;
# the marker says it was made completely.
(
  export WINEPREFIX="$PWD/build/windows/wineprefix-win32-tests" WINEDEBUG=-all
  if [ ! -e "$WINEPREFIX/.complete" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i
    wineserver -w
    touch "$WINEPREFIX/.complete"
  fi
  status=0
  wine build/windows/tests/win32/platform_win32_tests.exe || status=$?
  wineserver -w
  exit "$status"
)

# The manifest and download-path code against arbitrary input, for a bounded
# time per target (FUZZ_SECONDS, default 60).
tests/fuzz/run.sh

# The built executable's image; two release builds compared byte for byte, and
# signing with tools/sign.sh; the manifest check through tools/check-manifest.sh;
# then the real executable end to end under Wine against a local HTTPS server.
# Debian's interpreter has python3-pytest and python3-pefile, whatever else is
# first on PATH.
/usr/bin/python3 -m pytest -q tests/exe tests/release tests/preflight tests/e2e
