#!/usr/bin/env bash
# The first command for a new user: installs what is missing, builds, puts the sample profile
# tree in the stand-in common documents folder, and runs skyhelm against two simulated
# controllers drawn in this terminal. Automatic profiles play too: the demo has its own rules
# (data/demo-rules.toml, in a configuration folder of its own: the user's ~/.config/skyhelm is
# never read nor made) and, when Xvfb is installed, its own X11 display, where `p` brings demo
# programs to the front in turn. With --batch it plays a fixed key sequence instead and prints
# what the controllers show (for people without a terminal at hand, and for CI).
# SKYHELM_DEMO_BUILD names a build folder holding skyhelm and skyhelm-sim already: nothing is
# installed or built then (the system test uses it).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
batch=0
[ "${1:-}" = "--batch" ] && batch=1

if [ -n "${SKYHELM_DEMO_BUILD:-}" ]; then
  build=$SKYHELM_DEMO_BUILD
  demo=$(mktemp -d)
else
  bash scripts/install-deps.sh
  build=build/demo
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSKYHELM_TESTS=OFF >/dev/null
  cmake --build "$build" --target skyhelm skyhelm-sim
  demo=$PWD/$build/demo-root
  rm -rf "$demo"
fi
export SKYHELM_ROOT=$demo/root
export SKYHELM_DEVICE_DIR=$demo/run/devices
export XDG_RUNTIME_DIR=$demo/run
export XDG_CONFIG_HOME=$demo/config
unset SKYHELM_RULES
mkdir -p "$SKYHELM_ROOT/documents/Corvane" "$SKYHELM_ROOT/windows" "$SKYHELM_ROOT/registry" \
         "$SKYHELM_DEVICE_DIR" "$XDG_CONFIG_HOME/skyhelm"
chmod 700 "$demo/run"
if [ -d data/profiles ]; then
  cp -r data/profiles/. "$SKYHELM_ROOT/documents/Corvane/"
fi
cp data/demo-rules.toml "$XDG_CONFIG_HOME/skyhelm/rules.toml"

service=""
xvfb=""
finish() {
  [ -z "$service" ] || { kill "$service" 2>/dev/null || true; wait "$service" 2>/dev/null || true; }
  [ -z "$xvfb" ] || { kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; }
  [ -z "${SKYHELM_DEMO_BUILD:-}" ] || rm -rf "$demo"
}
trap finish EXIT

# A display of the demo's own, so that the demo programs' windows come to the front without a
# window manager taking the focus back; without Xvfb the programs only run.
unset DISPLAY
if command -v Xvfb >/dev/null; then
  exec 5>"$demo/display"
  Xvfb -displayfd 5 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  exec 5>&-
  for _ in $(seq 100); do [ -s "$demo/display" ] && break; sleep 0.1; done
  [ -s "$demo/display" ] && export DISPLAY=:$(head -n1 "$demo/display")
fi

SKYHELM_LOG=${SKYHELM_LOG:-3} "$build/skyhelm" 2>"$demo/skyhelm.log" &
service=$!

if [ "$batch" -eq 0 ]; then
  echo "skyhelm runs (log: $demo/skyhelm.log); starting two simulated controllers..."
  sleep 0.5
  "$build/skyhelm-sim" serve --controllers 2
  exit 0
fi

# Batch form: engage the clutch, step through the entries, choose one, release; then bring each
# demo program to the front and the desktop last. The simulated driver prints each change of
# what the controllers show.
keys() {
  sleep 1.5
  for key in ' ' j j k $'\n' ' ' p p p p q; do
    printf '%s' "$key"
    sleep 0.7
  done
}
keys | "$build/skyhelm-sim" serve --controllers 2
