#!/usr/bin/env bash
# Runs the manifest check (check-manifest.exe, built by ./build.sh next to the
# installer) under Wine on Linux, in a Wine prefix of its own, quietly. Takes
# the program's own arguments: [--json] [--strict] FILE...
# The exit code is the program's: 0 fine, 1 fails a release, 2 usage or read error.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
exe="${CHECK_MANIFEST_EXE:-$root/build/windows/check-manifest.exe}"
if [ ! -f "$exe" ]; then
  echo "check-manifest: $exe is missing; build it first with ./build.sh" \
    "(with -DINSTALLER_DOWNLOAD_HOST=<host> for your own download host)" >&2
  exit 2
fi
command -v wine >/dev/null || { echo "check-manifest: wine is missing; run tools/install-deps.sh" >&2; exit 2; }

export WINEPREFIX="${CHECK_MANIFEST_PREFIX:-$root/build/check-manifest-prefix}"
# No debugger: a program that crashes ends at once instead of waiting in one.
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
# File names outside ASCII need a UTF-8 locale; C.UTF-8 is always there.
export LC_ALL=C.UTF-8 LANG=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
# The prefix is made once; the marker says it was made completely.
if [ ! -e "$WINEPREFIX/.complete" ]; then
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  wineboot -i >/dev/null 2>&1 && wineserver -w && touch "$WINEPREFIX/.complete" || {
    echo "check-manifest: could not make a Wine prefix in $WINEPREFIX" >&2
    exit 2
  }
fi
# Wine runs the program in the current folder (as Z:\...), and Windows file
# calls take "/" as a separator, so relative and absolute Linux paths pass
# through unchanged.
wine "$exe" "$@"
