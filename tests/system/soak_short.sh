#!/usr/bin/env bash
# A short soak of the service process (bench/soak.py): clutch events on two controllers with a
# detach and attach every 50 events; fails when an event is lost or a thread or descriptor is
# left behind. First, the soak itself must fail, saying why, against services that end at once
# or never attach a controller.
# Usage: soak_short.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
soak="$2/bench/soak.py"

# Runs the soak against a program that is no service; passes when the soak fails with reason.
refused() {
  local program=$1 reason=$2 status=0
  python3 "$soak" "$program" --events 10 --limit 1 2>"$err" >/dev/null || status=$?
  if [ "$status" -ne 1 ] || ! grep -q "^FAIL: $reason" "$err"; then
    echo "FAIL: the soak against $program ended with $status:" >&2
    cat "$err" >&2
    exit 1
  fi
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
err=$work/err
printf '#!/bin/sh\nexec sleep 30\n' >"$work/idle"
chmod +x "$work/idle"
refused /bin/true "the service ended by itself with status 0"
refused "$work/idle" "the controllers were not attached within 1 s"

python3 "$soak" "$1/skyhelm" --events "${SKYHELM_SOAK_EVENTS:-1000}" --every 50
