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
# The scenarios of the Linux system tests, against the real skyhelm.exe and the stand-in kernel
# driver, checked against the same expectations.
scenarios_start=$SECONDS
export SKYHELM_SCENARIO_OS=windows
SKYHELM_SIM_RUN="bash $PWD/scripts/windows-scenario.sh" \
  bash tests/system/scenarios.sh build/windows "$PWD" || { [ "$status" -ne 0 ] || status=1; }
# Once more with the controller present before the service starts: found at start, it sees the
# program really in front.
SKYHELM_SIM_RUN="bash $PWD/scripts/windows-scenario.sh --start-late" \
  bash tests/system/scenarios.sh build/windows "$PWD" tests/system/scenarios/clutch_load.scenario \
  tests/system/scenarios/autoprofile_attach_in_front.scenario \
  tests/system/scenarios/autoprofile_start_in_front.scenario ||
  { [ "$status" -ne 0 ] || status=1; }
echo "scenarios against skyhelm.exe: $((SECONDS - scenarios_start)) s"
# The service against a hostile stand-in driver: 60 s of faults through the kernel path
# (SKYHELM_HOSTILE_SECONDS and SKYHELM_HOSTILE_SEED change the run).
hostile_start=$SECONDS
bash tests/system/windows_hostile.sh "$PWD/build/windows" || { [ "$status" -ne 0 ] || status=1; }
echo "hostile driver against skyhelm.exe: $((SECONDS - hostile_start)) s"
# A run killed half way is put back by skyhelm-sim clean.
bash tests/system/windows/killed_run.sh build/windows "$PWD" || { [ "$status" -ne 0 ] || status=1; }
exit $status
