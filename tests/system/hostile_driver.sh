#!/usr/bin/env bash
# The service against the hostile driver (hostile_driver.py): it stays up through the chaos, still
# attaches controllers afterwards, writes no sanitizer report, gives back every thread and
# descriptor once the controllers are gone, and ends promptly on SIGTERM.
# Usage: hostile_driver.sh BUILD_DIR SOURCE_DIR
# SKYHELM_HOSTILE_SECONDS (default 30) and SKYHELM_HOSTILE_SEED (default 13) change the run;
# a failure is replayed with the seed it prints.
set -euo pipefail
build=$1
source_dir=$2
seconds=${SKYHELM_HOSTILE_SECONDS:-30}
seed=${SKYHELM_HOSTILE_SEED:-13}

source "$source_dir/tests/system/process_common.bash"

use_work_root
# The default profile folder holds the shipped profiles, so that clutch events browse and load.
cp -r "$source_dir/data/profiles" "$SKYHELM_ROOT/documents/Corvane"
out=$work/driver.out

fail() {
  echo "FAIL (seed $seed): $*" >&2
  echo "--- service stderr (last lines):" >&2
  tail -n 40 "$work/skyhelm.err" >&2 || true
  if [ -n "$service" ] && kill -0 "$service" 2>/dev/null && command -v gdb >/dev/null; then
    echo "--- service threads:" >&2
    gdb -p "$service" -batch -ex "thread apply all bt" 2>/dev/null | grep -E "^Thread|^#" >&2 || true
  fi
  exit 1
}

# Sends a command to the driver and waits for its acknowledgement.
say() {
  local before
  before=$(grep -c "^ok $1\$" "$out" || true)
  echo "$1" >&3
  for _ in $(seq 200); do
    [ "$(grep -c "^ok $1\$" "$out" || true)" -gt "$before" ] && return 0
    sleep 0.05
  done
  fail "the driver did not acknowledge '$1'"
}

# The driver's counter named $1 in its latest stats line.
counter() {
  say stats
  grep '^{' "$out" | tail -n 1 | python3 -c "import json,sys; print(json.load(sys.stdin).get('$1', 0))"
}

threads() { awk '/^Threads:/ {print $2}' "/proc/$service/status"; }
fds() { find "/proc/$service/fd" -mindepth 1 -maxdepth 1 | wc -l; }
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$service/status"; }

alive() {
  kill -0 "$service" 2>/dev/null || fail "the service died: $1"
  if grep -q -E "Sanitizer|runtime error" "$work/skyhelm.err"; then fail "sanitizer report: $1"; fi
}

# Waits until the service's threads and descriptors are back at the given counts.
settle_to() {
  local want_threads=$1 want_fds=$2
  for _ in $(seq 300); do
    [ "$(threads)" -eq "$want_threads" ] && [ "$(fds)" -eq "$want_fds" ] && return 0
    sleep 0.1
  done
  fail "threads $(threads) (at start $want_threads), descriptors $(fds) (at start $want_fds)"
}

mkfifo "$work/driver.in"
python3 "$source_dir/tests/system/hostile_driver.py" "$SKYHELM_DEVICE_DIR" --seed "$seed" \
  <"$work/driver.in" >"$out" &
driver=$!
exec 3>"$work/driver.in"

"$build/skyhelm" 2>"$work/skyhelm.err" 3>&- &
service=$!

# A well-behaved start, then every controller removed: the counts to come back to.
say calm
sleep 2
say remove
# The baseline: threads and descriptors unchanged over one second (sessions of the calm start
# may still be ending on a loaded machine).
steady=0
for _ in $(seq 150); do
  sleep 0.2
  alive "at start"
  now="$(threads) $(fds)"
  if [ "$now" = "${last:-}" ]; then steady=$((steady + 1)); else steady=0; fi
  last=$now
  [ "$steady" -ge 5 ] && break
done
[ "$steady" -ge 5 ] || fail "not idle 30 s after the controllers were removed: $now"
base_threads=$(threads)
base_fds=$(fds)
base_rss=$(rss_kb)

# How fast the service goes through the chaos is a speed figure, printed below (the soak, bench/
# soak.py --min-events-per-s, holds a speed floor). Here only a stuck service fails: one that opens
# and requests nothing in the second half of the chaos (15 s by default, longer than a request's
# time limit and its cancel grace together).
activity() { echo $(($(counter requests) + $(counter opens))); }
start_activity=$(activity)
say chaos
for ((second = 0; second < seconds; second++)); do
  sleep 1
  alive "after $second s of chaos"
  if ((second + 1 == seconds / 2)); then half_activity=$(activity); fi
done
end_activity=$(activity)
[ "$end_activity" -gt "${half_activity:-$start_activity}" ] \
  || fail "no open or request in the second half of the chaos: $(grep '^{' "$out" | tail -n 1)"
echo "$((end_activity - start_activity)) opens and requests in $seconds s of chaos"

# Calm again: the controllers come back and the service attaches them (their clutch waits).
# Attaches queued during the chaos may each still wait out the service's request time limits.
waits_before=$(counter "clutch waits while calm")
say calm
attached=""
for _ in $(seq 60); do
  [ "$(counter "clutch waits while calm")" -ge $((waits_before + 3)) ] && attached=yes && break
  sleep 1
done
[ -n "$attached" ] || fail "the three controllers were not attached within 60 s after the chaos"
alive "after the calm"

say remove
settle_to "$base_threads" "$base_fds"
end_rss=$(rss_kb)
alive "at the end"
say stats
echo "seed $seed, $seconds s: $(grep '^{' "$out" | tail -n 1)"
echo "threads $base_threads -> $(threads), descriptors $base_fds -> $(fds), rss ${base_rss} kB -> ${end_rss} kB"

say calm
sleep 1
(sleep 3; kill -9 "$service" 2>/dev/null) &
guard=$!
start=$(date +%s%N)
kill -TERM "$service"
status=0
wait "$service" || status=$?
elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
kill "$guard" 2>/dev/null || true
service=""
[ "$status" -ne 137 ] || fail "the service still ran 3 s after SIGTERM"
[ "$status" -eq 0 ] || fail "the service ended with $status"
if grep -q -E "Sanitizer|runtime error" "$work/skyhelm.err"; then fail "sanitizer report"; fi
echo "SIGTERM: the service ended after $elapsed ms"
echo "quit" >&3
echo "PASS"
