#!/usr/bin/env bash
# Builds everything and runs every test. Works on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh

cmake --preset native
cmake --build --preset native
cmake --preset windows
cmake --build --preset windows

ctest --preset native

# Debian's interpreter, which has python3-pytest and python3-pefile, whatever
# else is first on PATH.
/usr/bin/python3 -m pytest -q tests/exe
