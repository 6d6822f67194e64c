#!/usr/bin/env bash
# Builds the programs and the tests for Windows with MinGW-w64 and runs the
# tests under Wine: installs the cross compiler, Wine and the tools the
# dependencies need when missing, builds the dependencies once
# (scripts/windows-deps.sh), makes the Wine prefix once, then configures,
# builds and tests with the "windows" preset. Ends with ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(cmake ninja-build g++-mingw-w64-x86-64-posix wine wine64 tcl dpkg-dev googletest
  libcli11-dev nlohmann-json3-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" 2>/dev/null | grep -q "^Status: install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

./scripts/windows-deps.sh

# One Wine prefix for every test binary: Wine takes seconds to make one.
# The same path and settings as scripts/wine-run.sh.
export QV_WINEPREFIX=${QV_WINEPREFIX:-$PWD/build/wine-prefix}
if [ ! -f "$QV_WINEPREFIX/system.reg" ]; then
  WINEPREFIX=$QV_WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    wineboot -i >/dev/null 2>&1
fi

jobs=$(nproc)
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
ctest --preset windows
