#!/usr/bin/env bash
# SIGTERM and SIGINT end the service promptly with status 0 even while its main thread waits in an
# attach for a driver that never answers, with more device changes queued behind it.
# Usage: stop_signal.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source_dir=$2

source "$source_dir/tests/system/process_common.bash"

use_work_root
log=$work/driver.log

fail() {
  echo "FAIL: $*" >&2
  echo "--- driver log:" >&2
  cat "$log" >&2 || true
  exit 1
}

mkfifo "$work/driver.in"
python3 "$source_dir/tests/system/fake_driver.py" "$SKYHELM_DEVICE_DIR" <"$work/driver.in" >"$log" &
driver=$!
exec 3>"$work/driver.in"
echo "publish A" >&3
echo "stall A" >&3
wait_for "stalled A"

round=0
for signal in TERM INT; do
  round=$((round + 1))
  "$build/skyhelm" 2>>"$work/skyhelm.err" &
  service=$!
  # The attach of A waits for its device type answer, which never comes (10 s per request).
  wait_for "request A 0x223000 unanswered" "$round"
  # Device changes queue behind the stalled attach.
  echo "publish B$round" >&3
  wait_for "published B$round"
  sleep 0.3
  kill -0 "$service" || fail "the service ended before SIG$signal"
  # A guard kills the service if it still runs 3 s after the signal.
  (sleep 3; kill -9 "$service" 2>/dev/null) &
  guard=$!
  start=$(date +%s%N)
  kill -"$signal" "$service"
  status=0
  wait "$service" || status=$?
  elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
  kill "$guard" 2>/dev/null || true
  wait "$guard" 2>/dev/null || true
  service=""
  [ "$status" -ne 137 ] || fail "the service still ran 3 s after SIG$signal"
  [ "$status" -eq 0 ] || fail "the service ended with $status after SIG$signal"
  echo "SIG$signal with a stalled driver: the service ended after $elapsed ms"
done
echo "quit" >&3
echo "PASS"
