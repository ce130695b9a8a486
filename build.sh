#!/usr/bin/env bash
# Builds the Windows installer with mingw-w64. Works on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh
cmake --preset windows "$@"
cmake --build --preset windows
