#!/usr/bin/env bash
# The real skyhelm.exe under Wine against a hostile stand-in kernel driver (skyhelm-sim hostile):
# random statuses and byte counts, requests never answered, cancels ignored, never answered or
# answered with success, answers to closed handles, controllers removed with requests pending,
# refused opens, opens and HID class questions never answered. It passes when the service stayed
# up, attached the controllers again and answered their clutch events once the faults stopped,
# attached a controller that answers neither its open nor its HID question nor a cancel with its
# window thread held no longer than 30 s, gave back its handles and threads, and ended with 0
# within a second of WM_CLOSE.
# Usage: windows_hostile.sh [BUILD_DIR]   (default build/windows; built when missing)
# SKYHELM_HOSTILE_SECONDS (default 60) and SKYHELM_HOSTILE_SEED (default 13) change the run; a
# failure is replayed with the seed it prints (up to the service's own timing).
set -uo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$repo/build/windows}
seconds=${SKYHELM_HOSTILE_SECONDS:-60}
seed=${SKYHELM_HOSTILE_SEED:-13}
if [ -z "${SKYHELM_WINE_UP:-}" ]; then
  if [ ! -f "$build/build.ninja" ]; then
    (cd "$repo" && cmake --preset windows >&2) || exit 2
  fi
  cmake --build "$build" --target skyhelm-sim >&2 || exit 2
fi

export SKYHELM_WINE_BUILD=$build
source "$repo/scripts/wine-env.sh"
wine_sim_up

# Standard error carries the service's own lines (the document reader's), kept for a failure.
errors=$(mktemp)
trap 'wine_sim_down; rm -f "$errors"' EXIT
# The run's own limits: the faults, then up to about two minutes to come back and end.
timeout $((seconds + 240)) wine "$sim" hostile --seed "$seed" --seconds "$seconds" 2>"$errors" |
  sed -u 's/\r$//'
status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ]; then
  echo "--- standard error (last lines):" >&2
  tr -d '\r' <"$errors" | tail -n 20 >&2
  echo "FAIL windows_hostile (seed $seed, $seconds s): status $status" >&2
  exit 1
fi
echo "ok   windows_hostile (seed $seed, $seconds s)"
