#!/usr/bin/env bash
# Cross-builds for Windows with MinGW-w64 and runs the same tests under Wine.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
cmake --preset windows
cmake --build --preset windows
export SKYHELM_WINE_BUILD="$PWD/build/windows"
source scripts/wine-env.sh
mkdir -p "$WINEPREFIX"
# Create the prefix with the null graphics driver, then let every Wine process end.
wine wineboot >/dev/null 2>&1 || true
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || true
wineserver -w || true
# Start Wine's server and services before ctest: started by a test, they would inherit and hold
# ctest's output pipes, and ctest would wait for them forever.
wineserver -p
wine wineboot >/dev/null 2>&1 || true
status=0
ctest --preset windows || status=$?
wineserver -k || true
exit $status
