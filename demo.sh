#!/usr/bin/env bash
# Builds the installer for a local HTTPS server and runs a complete install
# flow under Wine, printing what happened. Works on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh
exec /usr/bin/python3 tests/e2e/demo.py
