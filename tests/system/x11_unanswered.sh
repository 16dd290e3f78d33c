#!/usr/bin/env bash
# DISPLAY names an X server that accepts the connection and never answers (a listener on
# 127.0.0.1, port 6000 + n). The service serves its controllers meanwhile: one found at the start,
# one that arrives, whose clutch works; the try is given up, logged, and made again; SIGTERM
# during the next try ends the service at once.
# Usage: x11_unanswered.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source_dir=$2
source "$source_dir/tests/system/process_common.bash"
use_work_root
log=$work/driver.log
fail() {
  echo "FAIL: $*" >&2
  cat "$work/driver.log" "$work/listener.log" "$work/skyhelm.err" >&2 || true
  exit 1
}
listener=""
trap 'kill $listener 2>/dev/null || true; wait $listener 2>/dev/null || true; cleanup' EXIT

cat >"$work/listener.py" <<'PY'
import random, socket, sys
server = socket.socket()
for n in random.sample(range(300, 900), 600):
    try:
        server.bind(("127.0.0.1", 6000 + n))
        break
    except OSError:
        pass
server.listen(8)
print("display", n, flush=True)
held = []
while True:
    held.append(server.accept()[0])  # kept open, never answered
    print("accepted", flush=True)
PY
python3 "$work/listener.py" >"$work/listener.log" 2>&1 &
listener=$!
for _ in $(seq 50); do grep -q display "$work/listener.log" && break; sleep 0.1; done
number=$(awk '/display/ {print $2}' "$work/listener.log")
[ -n "$number" ] || fail "no listener"

mkfifo "$work/driver.in"
python3 "$source_dir/tests/system/fake_driver.py" "$SKYHELM_DEVICE_DIR" <"$work/driver.in" >"$log" &
driver=$!
exec 3>"$work/driver.in"
echo "publish A" >&3
wait_for "published A"

DISPLAY=127.0.0.1:$number SKYHELM_LOG=4 "$build/skyhelm" 2>"$work/skyhelm.err" &
service=$!
log=$work/listener.log wait_for "accepted"
wait_for "request A 0x223634"      # found at the start: its clutch thread waits
echo "publish B" >&3
wait_for "request B 0x223634"      # arrived
echo "clutch B 1 0" >&3
wait_for "request B 0x222844"      # engaging sets the clutch mode
log=$work/skyhelm.err wait_for "cannot reach the X11 display 127.0.0.1:$number yet"
log=$work/listener.log wait_for "accepted" 2  # tried again, 2 s later
# A guard kills the service if it still runs 3 s after the signal.
(sleep 3; kill -9 "$service" 2>/dev/null) &
guard=$!
start=$(date +%s%N)
kill -TERM "$service"
status=0
wait "$service" || status=$?
elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
kill "$guard" 2>/dev/null || true
wait "$guard" 2>/dev/null || true
service=""
[ "$status" -eq 0 ] || fail "the service ended with $status after SIGTERM"
[ "$elapsed" -lt 2000 ] || fail "SIGTERM took $elapsed ms"
! grep -q "Sanitizer" "$work/skyhelm.err" || fail "a sanitizer report"
echo "SIGTERM during an unanswered X11 connection: the service ended after $elapsed ms"
echo PASS
