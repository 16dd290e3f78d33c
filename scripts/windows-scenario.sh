#!/usr/bin/env bash
# Plays scenarios against the real skyhelm.exe under Wine: installs and builds what is missing
# (on a fresh Debian machine too, as scripts/demo.sh does), prepares the
# project's prefix once (boot; the stand-in driver package is installed by the first device),
# and prints each scenario's trace exactly as `skyhelm-sim run` prints it on Linux. The exit
# status is that of the first scenario that failed (2 malformed, 3 a step that could not be
# carried out). Devices left by a failed run are removed on the way out.
# Usage: scripts/windows-scenario.sh [--start-late | --in-process] FILE.scenario...
#   --start-late: the service starts once the first controller is present (found at start)
#   --in-process: the service core plays inside skyhelm-sim, on the simulator alone
set -uo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
options=()
while [ $# -gt 0 ] && [[ $1 == --* ]]; do
  options+=("$1")
  shift
done
[ $# -ge 1 ] || { echo "usage: $0 [--start-late | --in-process] FILE.scenario..." >&2; exit 2; }
build=$repo/build/windows
if [ -z "${SKYHELM_WINE_UP:-}" ]; then
  # On a fresh machine: the compilers, Wine and the rest, as the demo does.
  bash "$repo/scripts/install-deps.sh" >&2 || exit 2
  if [ ! -f "$build/build.ninja" ]; then
    (cd "$repo" && cmake --preset windows >&2) || exit 2
  fi
  cmake --build "$build" --target skyhelm-sim >&2 || exit 2
fi

export SKYHELM_WINE_BUILD=$build
source "$repo/scripts/wine-env.sh"
wine_sim_up

status=0
for file in "$@"; do
  # Wine's console writes CR LF; the trace is compared line for line with Linux.
  timeout 300 wine "$sim" run "${options[@]}" "$(winepath -w "$file")" | tr -d '\r'
  code=${PIPESTATUS[0]}
  [ "$status" -ne 0 ] || status=$code
done
exit "$status"
