#!/usr/bin/env bash
# Installs, from Debian's archive, everything the build and the tests use.
# Cheap to run again: it asks apt only for what is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ libgtest-dev
  g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  python3 python3-pytest python3-pefile
  googletest wine wine64 libgnutls30 openssl
  clang-14 libclang-rt-14-dev
  osslsigncode
  curl
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
