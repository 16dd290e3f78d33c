#!/usr/bin/env bash
# The first command for a new user: installs what is missing, builds, puts the sample profile
# tree in the stand-in common documents folder, and runs skyhelm against two simulated
# controllers drawn in this terminal. With --batch it plays a fixed key sequence instead and
# prints what the displays show (for people without a terminal at hand, and for CI).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
batch=0
[ "${1:-}" = "--batch" ] && batch=1

bash scripts/install-deps.sh
build=build/demo
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSKYHELM_TESTS=OFF >/dev/null
cmake --build "$build" --target skyhelm skyhelm-sim

demo=$PWD/$build/demo-root
export SKYHELM_ROOT=$demo/root
export SKYHELM_DEVICE_DIR=$demo/run/devices
export XDG_RUNTIME_DIR=$demo/run
rm -rf "$demo"
mkdir -p "$SKYHELM_ROOT/documents/Corvane" "$SKYHELM_ROOT/windows" "$SKYHELM_ROOT/registry" \
         "$SKYHELM_DEVICE_DIR"
chmod 700 "$demo/run"
if [ -d data/profiles ]; then
  cp -r data/profiles/. "$SKYHELM_ROOT/documents/Corvane/"
fi

SKYHELM_LOG=${SKYHELM_LOG:-3} "$build/skyhelm" 2>"$demo/skyhelm.log" &
service=$!
trap 'kill "$service" 2>/dev/null || true; wait "$service" 2>/dev/null || true' EXIT

if [ "$batch" -eq 0 ]; then
  echo "skyhelm runs (log: $demo/skyhelm.log); starting two simulated controllers..."
  sleep 0.5
  "$build/skyhelm-sim" serve --controllers 2
  exit 0
fi

# Batch form: engage the clutch, step through the entries, choose one, release; the simulated
# driver prints each change of what the controllers show.
keys() {
  sleep 1.5
  for key in ' ' j j k $'\n' ' ' q; do
    printf '%s' "$key"
    sleep 0.7
  done
}
keys | "$build/skyhelm-sim" serve --controllers 2
