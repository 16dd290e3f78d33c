#!/usr/bin/env bash
# A scenario run against skyhelm.exe is killed half way (registry values written, the service
# running, a controller's device installed); `skyhelm-sim clean` then puts the prefix back: the
# registry values are as before the run, no device of the stand-in driver is left and the
# service is gone.
# Usage: killed_run.sh BUILD_DIR SOURCE_DIR   (under a prefix brought up by scripts/wine-env.sh)
set -uo pipefail
build=$(cd "$1" && pwd)
source_dir=$2
export SKYHELM_WINE_BUILD=$build
source "$source_dir/scripts/wine-env.sh"
wine_prefix_up
sim=$build/skyhelm-sim.exe
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

member='{4A7D2E91-3B6C-4F80-A1D5-9E8C7B6A5F40}'
values=('Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders|Common Documents'
        'Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders|Common Documents'
        "Software\\Corvane\\ProfileDirectories|$member")
snapshot() {
  for entry in "${values[@]}"; do
    timeout 60 wine reg query "HKLM\\${entry%%|*}" /v "${entry#*|}" 2>/dev/null | tr -d '\r' |
      grep -F "${entry#*|}" || echo "absent: $entry"
  done
}
# Unix process ids of this prefix's processes whose command line matches $1 (other prefixes may
# run the same programs).
prefix_pids() {
  local pid
  for pid in $(pgrep -f "$1"); do
    { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
      echo "$pid"
  done
}
device_present() {
  timeout 60 wine reg query 'HKLM\System\CurrentControlSet\Enum\ROOT\SKYHELMSIM\PAD' >/dev/null 2>&1
}

timeout 60 wine "$sim" clean >/dev/null 2>&1
snapshot >"$work/before"
cat >"$work/killed.scenario" <<'SCENARIO'
controller pad
registry Software\Corvane\ProfileDirectories {4A7D2E91-3B6C-4F80-A1D5-9E8C7B6A5F40} "$ROOT/profiles"
attach pad
wait 120000
SCENARIO
(timeout 300 wine "$sim" run "$(winepath -w "$work/killed.scenario")") >/dev/null 2>&1 &
launcher=$!
# Half way: the controller is attached (its device present, the service started before it).
for _ in $(seq 1 150); do
  device_present && break
  sleep 0.2
done
failed=0
device_present || { echo "FAIL the run did not get as far as the attach" >&2; failed=1; }
# The Windows process itself, not the launcher that started it.
runs=$(prefix_pids 'skyhelm-sim\.exe run')
[ -n "$runs" ] || { echo "FAIL no run to kill" >&2; failed=1; }
{
  kill -9 $runs
  wait "$launcher"
} 2>/dev/null
snapshot >"$work/during"
cmp -s "$work/before" "$work/during" &&
  { echo "FAIL the run changed none of the registry values" >&2; failed=1; }

timeout 120 wine "$sim" clean >/dev/null 2>&1
snapshot >"$work/after"
if ! diff -u "$work/before" "$work/after" >&2; then
  echo "FAIL registry values differ from before the run" >&2
  failed=1
fi
device_present && { echo "FAIL a device of the stand-in driver is left" >&2; failed=1; }
[ -z "$(prefix_pids 'skyhelm\.exe')" ] || { echo "FAIL the service still runs" >&2; failed=1; }
[ "$failed" -eq 0 ] && echo "PASS killed run put back by clean"
exit "$failed"
