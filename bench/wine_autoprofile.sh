#!/usr/bin/env bash
# Automatic profiles of the real skyhelm.exe under Wine (the Windows build, against the stand-in
# driver): the time from a foreground change to IOCTL_PROFILE_LOAD at the controller with
# delay_ms = 0 (through the 250 ms comparison Wine needs), as percentiles over N changes between
# two programs; then the CPU time that skyhelm.exe and the prefix's wineserver take over 10 s of
# idling with focus rules loaded, and with no rules file.
# Usage: bench/wine_autoprofile.sh [N]   (default 40; builds the windows preset when needed)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-40}
export SKYHELM_WINE_BUILD=$repo/build/windows
[ -f "$SKYHELM_WINE_BUILD/build.ninja" ] || (cd "$repo" && cmake --preset windows >/dev/null)
cmake --build "$SKYHELM_WINE_BUILD" --target skyhelm-sim >/dev/null
source "$repo/scripts/wine-env.sh"
work=$(mktemp -d)
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
wine_prefix_up </dev/null >/dev/null 2>&1

setup='controller pad
folder documents/Corvane
document documents/Corvane/A.pr0 "[profile]"
document documents/Corvane/B.pr0 "[profile]"
attach pad'
rules='rules "delay_ms = 0\n[[rule]]\nprogram = \"A.exe\"\nprofile = \"A.pr0\"\n[[rule]]\ntitle = \"*B*\"\nprofile = \"B.pr0\"\n"'
{
  echo "$setup"; echo "$rules"
  # A random pause before each change, so that changes fall anywhere in the 250 ms period.
  for _ in $(seq "$count"); do
    echo "wait $((RANDOM % 250))"; echo "foreground A.exe"
    echo "wait $((RANDOM % 250))"; echo "foreground B.exe"
  done
  echo "detach pad"
} >"$work/latency.scenario"
SKYHELM_SIM_LOAD_LATENCY=1 bash "$repo/scripts/windows-scenario.sh" "$work/latency.scenario" \
  </dev/null >/dev/null 2>"$work/latency.err"
tr -d '\r' <"$work/latency.err" | sed -n 's/^foreground to load: \([0-9.]*\) ms$/\1/p' | sort -n >"$work/ms"
awk '{v[NR] = $1} END {
  if (NR == 0) { print "no loads seen"; exit 1 }
  printf "foreground change -> IOCTL_PROFILE_LOAD under Wine (delay_ms = 0), %d changes: ", NR
  printf "p50 %.1f ms, p90 %.1f ms, p99 %.1f ms, max %.1f ms\n",
         v[int(NR * 0.5 + 0.5)], v[int(NR * 0.9 + 0.5)], v[int(NR * 0.99 + 0.5)], v[NR] }' "$work/ms"

# Idle: the service with one controller attached, nothing happening for 20 s; CPU ticks of
# skyhelm.exe and the wineserver measured over 10 s of it.
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
idle() {
  { echo "$setup"; [ -z "$1" ] || echo "$1"; echo "wait 20000"; echo "detach pad"; } >"$work/idle.scenario"
  bash "$repo/scripts/windows-scenario.sh" "$work/idle.scenario" </dev/null >/dev/null 2>&1 &
  local runner=$! service="" server=""
  sleep 5  # attached, rules read, and the service's second-instance check over
  service=$(pgrep -o -f 'skyhelm-run-.*\\bin\\skyhelm.exe')
  for p in $(pgrep wineserver); do
    tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && server=$p
  done
  local s0 w0 s1 w1
  s0=$(ticks "$service"); w0=$(ticks "$server")
  sleep 10
  s1=$(ticks "$service"); w1=$(ticks "$server")
  wait "$runner" || true
  echo "idle $2: skyhelm.exe $((s1 - s0)) ticks, wineserver $((w1 - w0)) ticks in 10 s ($(getconf CLK_TCK) ticks/s)"
}
idle "$rules" "with focus rules"
idle "" "without a rules file"
