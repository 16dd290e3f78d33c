# Shared start of the tests that run the service as a process beside a driver process (sourced,
# not run): a work folder, and a cleanup at exit that closes the driver's command pipe (fd 3),
# ends whatever of $service and $driver still runs and removes the work folder.
work=$(mktemp -d)
service=""
driver=""
cleanup() {
  exec 3>&- 2>/dev/null || true
  [ -n "$service" ] && kill -9 "$service" 2>/dev/null || true
  # The driver first gets SIGTERM, so that skyhelm-sim serve ends its demo programs itself.
  if [ -n "$driver" ] && kill -TERM "$driver" 2>/dev/null; then
    for _ in $(seq 30); do kill -0 "$driver" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$driver" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The stand-in root (documents, windows, registry) and the device folder, both inside $work.
use_work_root() {
  export SKYHELM_ROOT=$work/root
  export SKYHELM_DEVICE_DIR=$work/run/devices
  export XDG_RUNTIME_DIR=$work/run
  # The automatic-profile rules file of the run (none unless a test writes one), never the user's.
  export XDG_CONFIG_HOME=$work/config
  unset SKYHELM_RULES
  mkdir -p "$SKYHELM_ROOT/documents" "$SKYHELM_ROOT/windows" "$SKYHELM_ROOT/registry" "$work/run"
  chmod 700 "$work/run"
}

# Waits up to ten seconds until $log holds at least count (default 1) lines matching pattern;
# the caller defines log and fail.
wait_for() {
  local pattern=$1 count=${2:-1}
  for _ in $(seq 100); do
    [ "$(grep -c -- "$pattern" "$log" || true)" -ge "$count" ] && return 0
    sleep 0.1
  done
  fail "waiting for $count x '$pattern'"
}
