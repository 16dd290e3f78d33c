#!/usr/bin/env bash
# Cross-builds for Windows with MinGW-w64 and runs the same tests under Wine.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
cmake --preset windows
cmake --build --preset windows
export SKYHELM_WINE_BUILD="$PWD/build/windows"
source scripts/wine-env.sh

# Stop this prefix's server on every way out, so nothing is left holding the terminal or CI.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

wine_prefix_up
status=0
ctest --preset windows || status=$?
exit $status
