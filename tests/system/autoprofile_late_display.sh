#!/usr/bin/env bash
# The service started before the desktop: DISPLAY names an X server that does not exist yet,
# Xvfb comes 3 s later, and a focus rule then acts for a demo program of skyhelm-sim serve. The
# server then ends and comes back: the service reaches it again. Exits 77 (ctest: skipped)
# without Xvfb.
# Usage: autoprofile_late_display.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source_dir=$2
command -v Xvfb >/dev/null || { echo "SKIP: Xvfb is not installed"; exit 77; }
source "$source_dir/tests/system/process_common.bash"
use_work_root
log=$work/skyhelm.err
fail() {
  echo "FAIL: $*" >&2
  cat "$log" >&2 || true
  exit 1
}
xvfb=""
trap 'kill $xvfb 2>/dev/null || true; wait $xvfb 2>/dev/null || true; cleanup' EXIT

# A display number no server uses (a high one: -displayfd servers of other runs take low ones).
number=$((300 + RANDOM % 600))
while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do number=$((number + 1)); done
export DISPLAY=:$number
start_xvfb() {
  Xvfb "$DISPLAY" -nolisten tcp >>"$work/xvfb.log" 2>&1 &
  xvfb=$!
}

mkdir -p "$SKYHELM_ROOT/documents/Corvane" "$XDG_CONFIG_HOME/skyhelm"
touch "$SKYHELM_ROOT/documents/Corvane/DCS.pr0"
printf 'delay_ms = 0\n[[rule]]\nprogram = "DCS.exe"\nprofile = "DCS.pr0"\n' >"$XDG_CONFIG_HOME/skyhelm/rules.toml"
SKYHELM_LOG=4 "$build/skyhelm" 2>"$log" &
service=$!
wait_for "Auto Profile: cannot reach the X11 display :$number yet"
sleep 3
start_xvfb
wait_for "Auto Profile: connected to X11"
wait_for "Auto Profile: foreground: the desktop"

# The controller and the demo programs come once the display is there.
mkfifo "$work/keys"
"$build/skyhelm-sim" serve --controllers 1 <"$work/keys" >"$work/serve.out" 2>&1 &
driver=$!
exec 3>"$work/keys"
for _ in $(seq 100); do [ -n "$(ls "$SKYHELM_DEVICE_DIR" 2>/dev/null)" ] && break; sleep 0.1; done
printf p >&3  # DCS.exe in front
wait_for "Auto Profile: DCS.exe, rule 1, controller .*: sent IOCTL_PROFILE_LOAD and IOCTL_PROFILE_ACTIVATE for .*/DCS.pr0"

# The server ends and comes back on the same display.
kill "$xvfb"
wait "$xvfb" 2>/dev/null || true
wait_for "Auto Profile: the X11 connection was lost"
start_xvfb
wait_for "Auto Profile: connected to X11" 2
kill -0 "$service" 2>/dev/null || fail "the service ended"
echo PASS
