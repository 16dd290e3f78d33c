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

# A new prefix: create it, select the null graphics driver (no display), and let the server
# that created it exit, so the setting is written out before the tests start.
if [ ! -f "$WINEPREFIX/.skyhelm-ready" ]; then
  mkdir -p "$WINEPREFIX"
  timeout 300 wine wineboot --init >/dev/null 2>&1 || true
  timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  timeout 120 wineserver -w || true
  touch "$WINEPREFIX/.skyhelm-ready"
fi

# Start the server and Wine's services before ctest: started from a test, they would inherit
# and hold ctest's output pipes, and ctest would wait for them for ever.
wineserver -p
timeout 300 wine wineboot >/dev/null 2>&1 || true
status=0
ctest --preset windows || status=$?
exit $status
