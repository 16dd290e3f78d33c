#!/usr/bin/env bash
# Idle CPU time and resident size of skyhelm with two controllers attached over the socket
# transport: nothing happens for ten seconds, so nothing should run. With --rules, automatic
# profiles are on with focus rules only, under a private Xvfb display when Xvfb is installed;
# compare its figures with a run without.
# Usage: bench/idle_memory.sh BUILD_DIR [--rules]
set -euo pipefail
build=${1:-build/release}
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT
export SKYHELM_ROOT=$work/root SKYHELM_DEVICE_DIR=$work/run/devices XDG_RUNTIME_DIR=$work/run
export XDG_CONFIG_HOME=$work/config
unset SKYHELM_RULES DISPLAY
if [ "${2:-}" = "--rules" ]; then
  mkdir -p "$XDG_CONFIG_HOME/skyhelm"
  printf '[[rule]]\nprogram = "DCS.exe"\nprofile = "Default.pr0"\n[[rule]]\ntitle = "*Falcon*"\nclear = true\n' \
    >"$XDG_CONFIG_HOME/skyhelm/rules.toml"
  if command -v Xvfb >/dev/null; then
    exec 5>"$work/display"
    Xvfb -displayfd 5 -nolisten tcp >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
    export DISPLAY=:$(head -n1 "$work/display")
  fi
  echo "automatic profiles: focus rules${DISPLAY:+, X11 display $DISPLAY}"
fi
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
