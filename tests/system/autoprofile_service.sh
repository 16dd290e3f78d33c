#!/usr/bin/env bash
# Automatic profiles in the real service process on Linux. The service starts before the
# desktop: DISPLAY names an X server that does not exist yet, and Xvfb comes 3 s later. Then demo
# programs of skyhelm-sim serve (real processes whose X11 windows carry their pids) come to the
# front in turn, and the service loads each one's profile on the served controller; a changed
# rules file is read again without a restart. Last the server ends and comes back: the service
# reaches it again. Exits 77 (ctest: skipped) without Xvfb.
# Usage: autoprofile_service.sh BUILD_DIR SOURCE_DIR
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
  Xvfb "$DISPLAY" -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
}

mkdir -p "$SKYHELM_ROOT/documents/Corvane"
touch "$SKYHELM_ROOT/documents/Corvane/DCS.pr0" "$SKYHELM_ROOT/documents/Corvane/Falcon.pr0"
mkdir -p "$XDG_CONFIG_HOME/skyhelm"
printf 'delay_ms = 0\n[[rule]]\nprogram = "DCS.exe"\nprofile = "DCS.pr0"\n' >"$XDG_CONFIG_HOME/skyhelm/rules.toml"
SKYHELM_LOG=4 "$build/skyhelm" 2>"$log" &
service=$!
wait_for "Auto Profile: 1 rules read"
wait_for "Auto Profile: cannot reach the X11 display :$number yet"
sleep 3
start_xvfb
wait_for "Auto Profile: connected to X11"
wait_for "Auto Profile: foreground: the desktop"

mkfifo "$work/keys"
"$build/skyhelm-sim" serve --controllers 1 <"$work/keys" >"$work/serve.out" 2>&1 &
driver=$!
exec 3>"$work/keys"
for _ in $(seq 100); do [ -n "$(ls "$SKYHELM_DEVICE_DIR" 2>/dev/null)" ] && break; sleep 0.1; done
printf p >&3  # DCS.exe in front
wait_for "Auto Profile: DCS.exe, rule 1, controller .*: sent IOCTL_PROFILE_LOAD and IOCTL_PROFILE_ACTIVATE for .*/DCS.pr0"
# A rule added to the file acts for the program in front next, without a restart.
printf 'delay_ms = 0\n[[rule]]\nprogram = "DCS.exe"\nprofile = "DCS.pr0"\n[[rule]]\ntitle = "*BMS*"\nprofile = "Falcon.pr0"\n' \
  >"$XDG_CONFIG_HOME/skyhelm/rules.toml"
wait_for "Auto Profile: 2 rules read"
printf p >&3  # Il-2.exe: no rule, the profile is kept
wait_for 'Auto Profile: foreground: .*Il-2.exe'
printf p >&3  # the Falcon BMS window
wait_for "Auto Profile: Falcon BMS.exe, rule 2, controller .*: sent IOCTL_PROFILE_LOAD and IOCTL_PROFILE_ACTIVATE for .*/Falcon.pr0"
[ "$(grep -c "sent IOCTL_PROFILE_LOAD" "$log")" -eq 2 ] || fail "a load too many"

# The server ends and comes back on the same display.
kill "$xvfb"
wait "$xvfb" 2>/dev/null || true
wait_for "Auto Profile: the X11 connection was lost"
start_xvfb
wait_for "Auto Profile: connected to X11" 2
echo PASS
