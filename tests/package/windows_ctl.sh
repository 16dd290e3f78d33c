#!/usr/bin/env bash
# skyhelm-ctl under Wine, against the values the installer package writes. status: nothing
# installed; the install folder the package records (with the version read from the installed
# skyhelm.exe), without and with the log-on start, that start disabled in Task Manager; an older
# install known by its Run value alone; a Run value naming another program; a recorded folder
# without skyhelm.exe; the service running. log N sets what the service reads at its next start
# (it writes its log file at that level), log off takes it away (the next start writes none);
# bad usage ends with 2 and changes nothing.
# Usage: windows_ctl.sh BUILD_DIR SOURCE_DIR   (BUILD_DIR: the Windows build tree)
set -euo pipefail
build=$(realpath "$1")
source_dir=$(realpath "$2")
export SKYHELM_WINE_BUILD=$build
source "$source_dir/scripts/wine-env.sh"
# The service reads SKYHELM_LOG from the user's environment in the registry, not from here.
unset SKYHELM_LOG

install_key='HKCU\Software\Skyhelm'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
approved_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run'
version=$(sed -n 's/^project(skyhelm VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")

work=$(mktemp -d)
service=""
own_server=1
[ -z "${SKYHELM_WINE_UP:-}" ] || own_server=0
clear_values() {
  wine reg delete "$install_key" /f >/dev/null 2>&1 || true
  wine reg delete "$run_key" /v Skyhelm /f >/dev/null 2>&1 || true
  wine reg delete "$approved_key" /v Skyhelm /f >/dev/null 2>&1 || true
  wine reg delete 'HKCU\Environment' /v SKYHELM_LOG /f >/dev/null 2>&1 || true
}
cleanup() {
  [ -z "$service" ] || { kill "$service" 2>/dev/null || true; wait "$service" 2>/dev/null || true; }
  clear_values
  [ -z "${log_folder:-}" ] || rm -rf "$log_folder"
  rm -rf "$work"
  [ "$own_server" -eq 0 ] || wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  cat "$work/out" >&2 2>/dev/null || true
  exit 1
}
windows_path() { local path=${1//\//\\}; echo "Z:$path"; }

# Runs skyhelm-ctl; its output goes to $work/out, its exit status to $status.
ctl() {
  status=0
  wine "$build/skyhelm-ctl.exe" "$@" </dev/null >"$work/out" 2>&1 || status=$?
  tr -d '\r' <"$work/out" >"$work/out.tmp" && mv "$work/out.tmp" "$work/out"
}
# status must end with 0 and say each of the lines given (fixed strings).
status_says() {
  ctl status
  [ "$status" -eq 0 ] || fail "status ended with $status"
  local line
  for line in "$@"; do
    grep -qxF -- "$line" "$work/out" || fail "status did not say: $line"
  done
}
# Waits (at most 30 s) until the command succeeds.
eventually() {
  local deadline=$((SECONDS + 30))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}
start_service() {
  wine "$folder/skyhelm.exe" </dev/null >/dev/null 2>&1 &
  service=$!
  running() { ctl status && grep -q "^Skyhelm is running" "$work/out"; }
  eventually running || fail "the service did not start"
}
stop_service() {
  kill "$service"
  wait "$service" 2>/dev/null || true
  service=""
  stopped() { ctl status && grep -qx "Skyhelm is not running." "$work/out"; }
  eventually stopped || fail "status still sees the service after it ended"
}

# Fails when a server of the prefix runs already, which is as good.
wine_prefix_up || true
clear_values
local_appdata=$(find "$WINEPREFIX/drive_c/users" -maxdepth 3 -path '*/AppData/Local' | head -n 1)
[ -n "$local_appdata" ] || fail "no AppData/Local folder in the prefix"
log_folder=$local_appdata/Skyhelm
log=$log_folder/skyhelm.log
rm -rf "$log_folder"
log_path="C:\\users\\$(basename "$(dirname "$(dirname "$local_appdata")")")\\AppData\\Local\\Skyhelm\\skyhelm.log"

# Nothing installed.
status_says "Skyhelm is not installed for this user." "Skyhelm is not running." \
  "No log file is written (skyhelm-ctl log 3 turns it on)."
grep -q "log-on" "$work/out" && fail "status spoke of a log-on start that does not exist"

# The folder the package records, without its log-on start, then with it.
folder=$work/Programs/Skyhelm
mkdir -p "$folder"
cp "$build/skyhelm.exe" "$folder/"
wine reg add "$install_key" /v InstallFolder /d "$(windows_path "$folder")\\" /f >/dev/null 2>&1
status_says "Skyhelm $version is installed in $(windows_path "$folder")." \
  "It does not start at log-on: install the package again to have it do so."
wine reg add "$run_key" /v Skyhelm /d "\"$(windows_path "$folder")\\skyhelm.exe\"" /f >/dev/null 2>&1
status_says "Skyhelm $version is installed in $(windows_path "$folder")." "It starts at log-on."

# The log-on start disabled in Task Manager (an odd first byte), then enabled again (even).
wine reg add "$approved_key" /v Skyhelm /t REG_BINARY /d 030000000000000000000000 /f >/dev/null 2>&1
status_says "Its start at log-on is disabled in Task Manager (Startup apps): enable it there to have it start when you log on."
wine reg add "$approved_key" /v Skyhelm /t REG_BINARY /d 020000000000000000000000 /f >/dev/null 2>&1
status_says "It starts at log-on."

# An install known by its Run value alone.
wine reg delete "$install_key" /f >/dev/null 2>&1
status_says "Skyhelm $version is installed in $(windows_path "$folder")." "It starts at log-on."

# A Run value that names another program: not taken for an install.
wine reg add "$run_key" /v Skyhelm /d 'C:\windows\notepad.exe' /f >/dev/null 2>&1
status_says "Skyhelm is not installed for this user." \
  "The log-on start (HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run, value Skyhelm) holds \"C:\\windows\\notepad.exe\", which is not the path of a skyhelm.exe."

# A recorded folder without skyhelm.exe, the log-on start running another copy.
wine reg add "$install_key" /v InstallFolder /d "$(windows_path "$work/Gone")" /f >/dev/null 2>&1
wine reg add "$run_key" /v Skyhelm /d "\"$(windows_path "$folder")\\skyhelm.exe\"" /f >/dev/null 2>&1
status_says "Skyhelm is recorded as installed in $(windows_path "$work/Gone"), but $(windows_path "$work/Gone")\\skyhelm.exe is missing: install the package again." \
  "The log-on start runs $(windows_path "$folder")\\skyhelm.exe, which is not the installed one."
wine reg add "$install_key" /v InstallFolder /d "$(windows_path "$folder")" /f >/dev/null 2>&1

# log 4: the service started afterwards writes its log at level 4, and status names the file.
ctl log 4
[ "$status" -eq 0 ] || fail "log 4 ended with $status"
grep -qF "$log_path" "$work/out" || fail "log 4 did not name $log_path"
start_service
grep -qF "Skyhelm is running (process " "$work/out" && grep -qF "$(windows_path "$folder")\\skyhelm.exe)" "$work/out" ||
  fail "status did not name the running program"
grep -qxF "Log file (level 4): $log_path" "$work/out" || fail "status did not report the log level"
eventually grep -q -- "--- Skyhelm started .* log level 4 ---" "$log" 2>/dev/null ||
  fail "the service started after log 4 wrote no level-4 log: $(ls -A "$log_folder" 2>&1)"
stop_service

# log off: the next start writes no log.
ctl log off
[ "$status" -eq 0 ] || fail "log off ended with $status"
! wine reg query 'HKCU\Environment' /v SKYHELM_LOG >/dev/null 2>&1 || fail "SKYHELM_LOG is left after log off"
rm -rf "$log_folder"
start_service
grep -qxF "No log file is written (skyhelm-ctl log 3 turns it on)." "$work/out" || fail "status after log off"
sleep 2
[ ! -e "$log" ] || fail "the service wrote a log after log off: $(head -n 1 "$log")"
stop_service

# Bad usage: status 2, the usage on standard error, the setting unchanged.
ctl log 2
for usage in "log 5" "log" "log 3 4" "status now" "install"; do
  ctl $usage
  [ "$status" -eq 2 ] || fail "skyhelm-ctl $usage ended with $status, not 2"
  grep -q "^usage: skyhelm-ctl" "$work/out" || fail "skyhelm-ctl $usage showed no usage"
done
wine reg query 'HKCU\Environment' /v SKYHELM_LOG 2>/dev/null | tr -d '\r' | grep -q 'REG_SZ *2$' ||
  fail "SKYHELM_LOG is not 2 after log 2 and the bad commands"
echo "PASS"
