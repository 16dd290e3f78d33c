#!/usr/bin/env bash
# A short soak of the service process (bench/soak.py): clutch events on two controllers with a
# detach and attach every 50 events; fails when an event is lost or a thread or descriptor is
# left behind.
# Usage: soak_short.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
python3 "$2/bench/soak.py" "$1/skyhelm" --events "${SKYHELM_SOAK_EVENTS:-1000}" --every 50
