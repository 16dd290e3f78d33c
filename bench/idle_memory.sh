#!/usr/bin/env bash
# Idle CPU time and resident size of skyhelm with two controllers attached over the socket
# transport: nothing happens for ten seconds, so nothing should run.
# Usage: bench/idle_memory.sh BUILD_DIR
set -euo pipefail
build=${1:-build/release}
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT
export SKYHELM_ROOT=$work/root SKYHELM_DEVICE_DIR=$work/run/devices XDG_RUNTIME_DIR=$work/run
mkdir -p "$SKYHELM_ROOT/documents/Corvane" "$SKYHELM_ROOT/windows" "$SKYHELM_ROOT/registry" "$work/run"
chmod 700 "$work/run"
cp -r "$(dirname "$0")/../data/profiles/." "$SKYHELM_ROOT/documents/Corvane/"

"$build/skyhelm-sim" serve --controllers 2 </dev/null >/dev/null &
pids+=($!)
sleep 0.5
"$build/skyhelm" 2>/dev/null &
service=$!
pids+=($service)
sleep 2  # attach both controllers

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks "$service")
sleep 10
after=$(ticks "$service")
rss=$(awk '/VmRSS/ {print $2}' "/proc/$service/status")
threads=$(awk '/Threads/ {print $2}' "/proc/$service/status")
echo "idle CPU over 10 s: $(( (after - before) * 1000 / hz )) ms"
echo "resident size: ${rss} kB, threads: ${threads}"
