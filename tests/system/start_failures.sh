#!/usr/bin/env bash
# Starts of the service that cannot go as planned: a device folder it cannot use ends it with
# status 1 and a level-1 line (a second instance still ends with 0); a single-instance guard it
# cannot take leaves it running unguarded; the /tmp fall-back folder is used only when it and its
# parent are private to the user (checked in a mount namespace with a /tmp of its own).
# Usage: start_failures.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(realpath "$1")
source_dir=$(realpath "$2")

source "$source_dir/tests/system/process_common.bash"

fail() {
  echo "FAIL: $*" >&2
  for file in "$work"/*.err "$work"/driver.log; do
    [ -f "$file" ] && { echo "--- $file:" >&2; cat "$file" >&2; }
  done
  exit 1
}

# Runs the service in the foreground with a deadline; prints its exit status (124: still running).
run_service() {
  local status=0
  SKYHELM_LOG=1 timeout 10 "$build/skyhelm" 2>>"$work/$1.err" || status=$?
  echo "$status"
}

start_driver() {
  log=$work/driver.log
  mkfifo "$work/driver.in"
  python3 "$source_dir/tests/system/fake_driver.py" "$1" <"$work/driver.in" >"$log" &
  driver=$!
  exec 3>"$work/driver.in"
  echo "publish A" >&3
  wait_for "published A"
}

# The /tmp fall-back, run inside a mount namespace whose /tmp is $work/tmp: neither
# SKYHELM_DEVICE_DIR nor XDG_RUNTIME_DIR is set.
private_tmp_cases() {
  unset SKYHELM_DEVICE_DIR XDG_RUNTIME_DIR
  # A build or checkout inside /tmp would be hidden with it: both are held open and bound again
  # at their own paths in the new /tmp (mount follows the descriptors, not the hidden paths).
  exec 8<"$build" 9<"$source_dir"
  mount --bind "$1" /tmp
  local held
  for held in "9 $source_dir" "8 $build"; do
    local fd=${held%% *} dir=${held#* }
    [[ $dir == /tmp/* && ! -e $dir ]] || continue
    mkdir -p "$dir"
    mount --no-canonicalize --bind "/proc/$$/fd/$fd" "$dir"
  done
  work=/tmp/work  # the outer work folder lies in the /tmp now hidden
  mkdir "$work"
  export SKYHELM_ROOT=/tmp/root
  mkdir -p "$SKYHELM_ROOT"
  local base=/tmp/skyhelm-$(id -u)
  local status

  # Made by someone else first, writable by the group: refused before anything is watched.
  mkdir -m 0770 "$base"
  status=$(run_service tmp)
  [ "$status" -eq 1 ] || fail "a group-writable $base: status $status, expected 1"
  grep -q "Device folder unusable: $base may be written by other users" "$work/tmp.err" ||
    fail "no level-1 line for a group-writable $base"
  [ ! -e "$base/devices" ] || fail "the service made devices inside a refused $base"
  # The instance guard refuses the folder as well: no lock file in it, the service unguarded.
  grep -q "Single-instance guard unavailable" "$work/tmp.err" || fail "the guard took $base"
  [ -z "$(ls -A "$base")" ] || fail "the service left $(ls -A "$base") in a refused $base"

  # Another user's folder (root alone can make one here; the unit test covers the rest).
  chmod 0700 "$base"
  if chown 65534 "$base" 2>/dev/null; then
    status=$(run_service tmp)
    [ "$status" -eq 1 ] || fail "another user's $base: status $status, expected 1"
    grep -q "Device folder unusable: $base belongs to user 65534" "$work/tmp.err" ||
      fail "no level-1 line for another user's $base"
    [ -z "$(ls -A "$base")" ] || fail "the service left $(ls -A "$base") in another user's $base"
    chown "$(id -u)" "$base"
  fi

  # The parent is private, the devices folder is not.
  mkdir -m 0702 "$base/devices"
  status=$(run_service tmp)
  [ "$status" -eq 1 ] || fail "an others-writable devices folder: status $status, expected 1"
  grep -q "Device folder unusable: $base/devices may be written by other users" "$work/tmp.err" ||
    fail "no level-1 line for an others-writable devices folder"

  # Another user's devices folder (root alone can make one here; the unit test covers the rest).
  chmod 0700 "$base/devices"
  if chown 65534 "$base/devices" 2>/dev/null; then
    status=$(run_service tmp)
    [ "$status" -eq 1 ] || fail "another user's devices folder: status $status, expected 1"
    grep -q "Device folder unusable: $base/devices belongs to user 65534" "$work/tmp.err" ||
      fail "no level-1 line for another user's devices folder"
  fi

  # A link in the folder's place leads nowhere.
  rm -rf "$base/devices"
  mkdir -m 0700 /tmp/elsewhere
  ln -s /tmp/elsewhere "$base/devices"
  status=$(run_service tmp)
  [ "$status" -eq 1 ] || fail "a link as devices folder: status $status, expected 1"
  grep -q "Device folder unusable: $base/devices is not a folder" "$work/tmp.err" ||
    fail "no level-1 line for a link as devices folder"

  # Private to the user: the service watches it and attaches what the driver publishes there.
  rm "$base/devices"
  start_driver "$base/devices"
  "$build/skyhelm" 2>>"$work/tmp.err" &
  service=$!
  wait_for "request A 0x223634"
  kill -0 "$service" || fail "the service ended with a private /tmp folder"
  echo "quit" >&3
}

if [ "${3:-}" = --private-tmp ]; then
  rm -rf "$work"
  trap 'exec 3>&- 2>/dev/null || true; kill -9 $service $driver 2>/dev/null || true' EXIT
  private_tmp_cases "$4"
  exit 0
fi

use_work_root

# An unusable device folder (a file stands where a parent should be): status 1, a level-1 line.
touch "$work/not-a-folder"
status=$(SKYHELM_DEVICE_DIR=$work/not-a-folder/devices run_service unusable)
[ "$status" -eq 1 ] || fail "unusable device folder: status $status, expected 1"
grep -q "Device folder unusable: $work/not-a-folder/devices cannot be made a folder" \
  "$work/unusable.err" || fail "no level-1 line for the unusable device folder"

# A first instance runs; a second one ends with 0 before it looks at any device folder.
start_driver "$SKYHELM_DEVICE_DIR"
"$build/skyhelm" 2>"$work/first.err" &
service=$!
wait_for "request A 0x223634"
status=$(SKYHELM_DEVICE_DIR=$work/not-a-folder/devices run_service second)
[ "$status" -eq 0 ] || fail "second instance: status $status, expected 0"
[ ! -s "$work/second.err" ] || fail "the second instance wrote: $(cat "$work/second.err")"
kill -9 "$service"
wait "$service" 2>/dev/null || true

# No lock file can be made (the runtime folder is a file): the service says so at level 1 and
# runs unguarded, attaching the controller as usual.
SKYHELM_LOG=1 XDG_RUNTIME_DIR=$work/not-a-folder "$build/skyhelm" 2>"$work/unguarded.err" &
service=$!
wait_for "request A 0x223634" 2
kill -0 "$service" || fail "the unguarded service ended"
grep -q "Single-instance guard unavailable: running unguarded" "$work/unguarded.err" ||
  fail "no level-1 line for the missing guard"
kill -9 "$service"
wait "$service" 2>/dev/null || true
service=""
echo "quit" >&3
exec 3>&-
wait "$driver" || true
driver=""

# The /tmp fall-back, in a mount namespace (as root, else as root of a user namespace).
mkdir -m 0755 "$work/tmp"
rm -f "$work/driver.in"
namespace=(unshare --mount --propagation private)
[ "$(id -u)" -eq 0 ] || namespace=(unshare --map-root-user --mount --propagation private)
"${namespace[@]}" bash "$0" "$build" "$source_dir" --private-tmp "$work/tmp" ||
  fail "the /tmp fall-back cases (see above)"
echo "PASS"
