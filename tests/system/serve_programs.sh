#!/usr/bin/env bash
# The demo programs of skyhelm-sim serve never outlive it: killed, serve takes them with it (and
# the next serve removes the folder it left); ended with SIGTERM, it ends them and removes their
# folder itself. Without a display the programs only run.
# Usage: serve_programs.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source "$2/tests/system/process_common.bash"
use_work_root
unset DISPLAY
fail() { echo "FAIL: $*" >&2; exit 1; }
# Starts serve with $1 demo programs; sets programs (their pids) and folder (where they run from).
serve_with_programs() {
  rm -f "$work/keys" && mkfifo "$work/keys"
  "$build/skyhelm-sim" serve --controllers 1 <"$work/keys" >/dev/null 2>&1 &
  driver=$!
  exec 3>"$work/keys"
  for _ in $(seq "$1"); do printf p >&3; done
  for _ in $(seq 100); do
    mapfile -t programs < <(pgrep -P "$driver")
    [ "${#programs[@]}" -ge "$1" ] && break
    sleep 0.1
  done
  [ "${#programs[@]}" -eq "$1" ] || fail "serve started ${#programs[@]} programs, not $1"
  folder=$(dirname "$(readlink "/proc/${programs[0]}/exe")")
}
# Whether all of the pids have ended within 5 s (an ended one not yet reaped is a zombie: Z).
all_end() {
  for _ in $(seq 50); do
    ps -o stat= -p "$*" | grep -qv '^Z' || return 0
    sleep 0.1
  done
  return 1
}

serve_with_programs 3
{ kill -9 "$driver" && wait "$driver"; } 2>/dev/null || true
all_end "${programs[@]}" || fail "demo programs outlived a killed serve"
killed_folder=$folder
serve_with_programs 1
[ ! -e "$killed_folder" ] || fail "the folder of the killed serve's programs stays"
kill -TERM "$driver"
wait "$driver" || fail "serve ended with status $? on SIGTERM"
driver=""
all_end "${programs[@]}" || fail "a demo program outlived serve ended by SIGTERM"
[ ! -e "$folder" ] || fail "serve left $folder"
echo PASS
