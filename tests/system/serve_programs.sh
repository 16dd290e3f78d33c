#!/usr/bin/env bash
# The demo programs of skyhelm-sim serve never outlive it: killed, serve takes them with it (and
# the next serve removes the folder it left); ended with SIGTERM, it ends them and removes their
# folder itself. No display is needed: without one the programs only run.
# Usage: serve_programs.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source_dir=$2
source "$source_dir/tests/system/process_common.bash"
use_work_root
unset DISPLAY
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
alive() {  # a process that runs (an ended one not yet reaped is a zombie: Z)
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
  [[ $state != Z* ]]
}
# Starts serve and brings count demo programs to the front; sets programs and folder.
serve_with_programs() {
  local count=$1
  rm -f "$work/keys"
  mkfifo "$work/keys"
  "$build/skyhelm-sim" serve --controllers 1 <"$work/keys" >"$work/serve.out" 2>&1 &
  driver=$!
  exec 3>"$work/keys"
  for _ in $(seq "$count"); do printf p >&3; done
  for _ in $(seq 100); do
    mapfile -t programs < <(pgrep -P "$driver")
    [ "${#programs[@]}" -ge "$count" ] && break
    sleep 0.1
  done
  [ "${#programs[@]}" -eq "$count" ] || fail "serve started ${#programs[@]} programs, not $count"
  folder=$(dirname "$(readlink "/proc/${programs[0]}/exe")")
  [[ $folder == /tmp/skyhelm-demo-* ]] || fail "a demo program runs from $folder"
}
gone_within_5s() {
  for _ in $(seq 50); do
    local left=0
    for pid in "$@"; do alive "$pid" && left=1; done
    [ "$left" -eq 0 ] && return 0
    sleep 0.1
  done
  return 1
}

serve_with_programs 3
{ kill -9 "$driver" && wait "$driver"; } 2>/dev/null || true
gone_within_5s "${programs[@]}" || fail "demo programs outlived a killed serve"
exec 3>&-
killed_folder=$folder

serve_with_programs 1
[ ! -e "$killed_folder" ] || fail "the folder of the killed serve's programs stays"
kill -TERM "$driver"
wait "$driver" || fail "serve ended with status $? on SIGTERM"
driver=""
gone_within_5s "${programs[@]}" || fail "a demo program outlived serve ended by SIGTERM"
[ ! -e "$folder" ] || fail "serve left $folder"
echo PASS
