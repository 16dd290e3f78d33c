#!/usr/bin/env bash
# The service as a real process against a user-space driver on the socket transport: single
# instance, discovery, arrival, a clutch event, removal, return, a killed driver, and SIGTERM.
# Usage: service_process.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source_dir=$2

source "$source_dir/tests/system/process_common.bash"

use_work_root

fail() {
  echo "FAIL: $*" >&2
  echo "--- driver log:" >&2
  cat "$work"/driver*.log >&2 || true
  exit 1
}

start_driver() {
  log=$work/driver$1.log
  rm -f "$work/driver.in"
  mkfifo "$work/driver.in"
  python3 "$source_dir/tests/system/fake_driver.py" "$SKYHELM_DEVICE_DIR" <"$work/driver.in" >"$log" &
  driver=$!
  exec 3>"$work/driver.in"
}

start_driver 1
echo "publish A" >&3
wait_for "published A"

"$build/skyhelm" 2>"$work/skyhelm.err" &
service=$!
wait_for "request A 0x223634"          # A attached at start: its clutch thread waits

# A second instance ends at once with 0 and opens nothing. The driver prints each open with the
# process that made it; once it has printed its own open (sync), every earlier one is printed.
grep -q "^open A $service\$" "$log" || fail "the driver does not name the service's opens"
timeout 5 bash -c 'echo $$ >"$1"; exec "$2"' second "$work/second.pid" "$build/skyhelm" \
  2>>"$work/skyhelm.err" || fail "second instance did not exit 0 at once"
echo "sync A" >&3
wait_for "synced A"
! grep -q "^open A $(cat "$work/second.pid")\$" "$log" || fail "second instance opened a device"

echo "publish B" >&3
wait_for "request B 0x223634"          # arrival attached

echo "clutch B 1 0" >&3
wait_for "request B 0x222844"          # engaging sets the clutch mode
wait_for "request B 0x223634" 2        # and the clutch thread waits again
grep -q "request A 0x222844" "$log" && fail "the clutch event reached the other controller"

echo "unpublish A" >&3
wait_for "unpublished A"
for _ in $(seq 100); do
  [ "$(grep -c "^open A" "$log")" -eq "$(grep -c "^close A" "$log")" ] && break
  sleep 0.1
done
[ "$(grep -c "^open A" "$log")" -eq "$(grep -c "^close A" "$log")" ] || fail "A still open after removal"

echo "publish A" >&3
wait_for "request A 0x223634" 2        # a controller that returns is attached anew

# A driver killed while requests are outstanding: the service lives and serves a new driver.
kill -9 "$driver"
wait "$driver" 2>/dev/null || true
exec 3>&-
sleep 0.5
kill -0 "$service" || fail "the service died with its driver"
start_driver 2
echo "publish A" >&3
wait_for "request A 0x223634"
echo "clutch A 1 0" >&3
wait_for "request A 0x222844"

kill -TERM "$service"
for _ in $(seq 100); do
  kill -0 "$service" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$service" 2>/dev/null && fail "the service did not end on SIGTERM"
status=0
wait "$service" || status=$?
service=""
[ "$status" -eq 0 ] || fail "the service ended with $status"
echo "quit" >&3
echo "PASS"
