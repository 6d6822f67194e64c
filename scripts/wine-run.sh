#!/usr/bin/env bash
# Runs a Windows program under Wine, in the Wine prefix of the Windows build
# (build/wine-prefix, or $QV_WINEPREFIX), with Wine's own diagnostics off.
# CMake runs the test binaries of the cross build through this script.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${QV_WINEPREFIX:-$root/build/wine-prefix}
export WINEDEBUG=-all
# No installer dialogs for Wine's .NET and HTML components: nothing here
# needs them.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
exec wine "$@"
