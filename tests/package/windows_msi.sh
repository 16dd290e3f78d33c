#!/usr/bin/env bash
# The Windows Installer package under Wine, in a fresh prefix, as a user or an administrator uses
# it silently (msiexec /qn with a verbose log): an install (files, log-on start, the install
# folder value, the Apps entry, the service running), an upgrade to a newer build (the service
# closed and started again, the user's rules, .dat file and log setting kept), an older package
# refused, a service that does not close stopping an uninstall before anything changed, the
# uninstall (the service closed, the package's files, Run value, Apps entry and log setting gone,
# the user's files kept), an install that fails half way leaving the machine as it was (a
# portable Skyhelm it closed running again), and the uninstall command of the Apps entry removing
# the folder.
# Usage: windows_msi.sh PACKAGE.msi SOURCE_DIR
set -euo pipefail
msi=$(realpath "$1")
source_dir=$(realpath "$2")
mkdir -p "$source_dir/build"
work=$(mktemp -d "$source_dir/build/msi-test.XXXXXX")
export SKYHELM_WINE_BUILD=$work
unset SKYHELM_WINE_UP
source "$source_dir/scripts/wine-env.sh"
stopped_service=""
cleanup() {
  [ -z "$stopped_service" ] || kill -CONT "$stopped_service" 2>/dev/null || true
  # Every process of the prefix (the services among them) ends with its server.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  [ -n "${SKYHELM_KEEP_TEST:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
# Stopped by a signal (ctest's time limit, Ctrl-C), it still cleans up on the way out.
trap 'exit 130' INT
trap 'exit 143' TERM
fail() {
  echo "FAIL: $*" >&2
  [ ! -f "$work/msi.log" ] || tr -d '\0\r' <"$work/msi.log" | tail -n 30 >&2
  exit 1
}
started=$SECONDS

# msiexec ARGUMENTS...: runs silently with a verbose log in $work/msi.log; its exit code goes to
# $status.
msiexec() {
  status=0
  rm -f "$work/msi.log"
  wine msiexec "$@" /qn /l*v "$(windows_path "$work/msi.log")" </dev/null >/dev/null 2>&1 || status=$?
}
windows_path() { local path=${1//\//\\}; echo "Z:$path"; }
log_has() { grep -qF "$1" <<<"$(tr -d '\0\r' <"$work/msi.log")"; }
# Waits (at most 30 s) until the command succeeds.
eventually() {
  local deadline=$((SECONDS + 30))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}
# The process ids of skyhelm.exe running in this prefix (other prefixes on the machine may run
# their own).
services() {
  local pid
  for pid in $(pgrep -f 'skyhelm\.exe$' || true); do
    grep -qxF "WINEPREFIX=$WINEPREFIX" <<<"$(tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ")" && echo "$pid"
  done
  return 0
}
one_service() { [ "$(services | wc -l)" -eq 1 ]; }
no_service() { [ -z "$(services)" ]; }
# The Windows command line of a process of the prefix.
command_of() { tr '\0' ' ' 2>/dev/null <"/proc/$1/cmdline"; }
reg_value() {
  wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
log_setting() { reg_value 'HKCU\Environment' SKYHELM_LOG; }
folder_key='HKCU\Software\Skyhelm'
# Wine keeps the Apps entry of a per-user package under HKLM.
apps_key() { echo "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$1"; }
property() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' -v name="$2" '$1 == name { print $2 }'; }
# What an install may change: the install folder (names and contents), the values and the Apps
# entries, the user's rules and whether a service runs.
machine_state() {
  (cd "$local_appdata" && find Programs | sort && find Programs -type f -exec md5sum {} + | sort)
  reg_value "$run_key" Skyhelm
  reg_value "$folder_key" InstallFolder
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' 2>/dev/null | tr -d '\r' | sort
  md5sum "$rules"
  echo "log setting: $(log_setting)"
  [ -z "$(services)" ] && echo "no service" || echo "service running"
}

version=$(property "$msi" ProductVersion)
code=$(property "$msi" ProductCode)
[ -n "$version" ] && [ -n "$code" ] || fail "no version or product code in $msi"
wine_prefix_up
echo "fresh prefix: $((SECONDS - started)) s"
local_appdata=$(find "$WINEPREFIX/drive_c/users" -maxdepth 3 -path '*/AppData/Local' | head -n 1)
appdata=${local_appdata%/Local}/Roaming
[ -d "$local_appdata" ] && [ -d "$appdata" ] || fail "no AppData folders in the prefix"
folder=$local_appdata/Programs/Skyhelm
rules=$appdata/Skyhelm/rules.toml

# A newer build of the same files: the package made again from its own files with the next patch
# version (a new product code, the same upgrade code), as package.sh makes it.
msiextract -C "$work/files" "$msi" >/dev/null
files=$(find "$work/files" -type f)
[ "$(printf '%s\n' "$files" | wc -l)" -ge 4 ] || fail "the package holds too few files: $files"
mkdir -p "$work/newer"
for file in $files; do cp "$file" "$work/newer/"; done
msiinfo extract "$msi" Binary.InstallerActions >"$work/newer/skyhelm-installer-actions.dll"
msiinfo extract "$msi" Icon.skyhelm.ico >"$work/newer/skyhelm.ico"
IFS=. read -r major minor patch <<<"$version"
newer_version=$major.$minor.$((patch + 1))
bash "$source_dir/packaging/windows/make-msi.sh" "$work/newer" "$newer_version" "$work/newer.msi" 2>/dev/null
newer_code=$(property "$work/newer.msi" ProductCode)
[ "$newer_code" != "$code" ] || fail "the newer package has the same product code"

# Install.
msiexec /i "$(windows_path "$msi")"
[ "$status" -eq 0 ] || fail "install ended with $status"
for file in $files; do
  cmp -s "$file" "$folder/$(basename "$file")" || fail "$(basename "$file") is not installed"
done
[ "$(reg_value "$run_key" Skyhelm)" = "\"C:\\users\\$(basename "$(dirname "$(dirname "$local_appdata")")")\\AppData\\Local\\Programs\\Skyhelm\\skyhelm.exe\"" ] ||
  fail "Run value: $(reg_value "$run_key" Skyhelm)"
[ "$(reg_value "$folder_key" InstallFolder)" = "$(reg_value "$run_key" Skyhelm | sed 's/^"//; s/skyhelm\.exe"$//')" ] ||
  fail "InstallFolder value: $(reg_value "$folder_key" InstallFolder)"
[ "$(reg_value "$(apps_key "$code")" DisplayName)" = Skyhelm ] || fail "no Apps entry named Skyhelm"
[ "$(reg_value "$(apps_key "$code")" DisplayVersion)" = "$version" ] || fail "the Apps entry has not version $version"
[ "$(reg_value "$(apps_key "$code")" Publisher)" = Skyhelm ] || fail "the Apps entry has no publisher"
[ "$(reg_value "$(apps_key "$code")" NoModify)" = 0x1 ] || fail "the Apps entry offers Modify"
# Wine shows no icon on the entry; Windows takes it from the package's icon named by ARPPRODUCTICON.
grep -qxF "Icon.$(property "$msi" ARPPRODUCTICON)" <<<"$(msiinfo streams "$msi")" || fail "the package has no icon for the Apps entry"
eventually one_service || fail "$(services | wc -l) services run after install"
first=$(services)
[[ $(command_of "$first") == *'AppData\Local\Programs\Skyhelm\skyhelm.exe'* ]] || fail "the service runs from $(command_of "$first")"

# The user's own files: the rules and a .dat file added to the install folder.
mkdir -p "$(dirname "$rules")"
echo 'when_unmatched = "keep"' >"$rules"
user_dat=$folder/00000000-0000-0000-0000-000000000001.dat
echo "the user's" >"$user_dat"
# The log the user turned on (the user variable SKYHELM_LOG).
wine "$folder/skyhelm-ctl.exe" log 3 </dev/null >/dev/null 2>&1 || fail "skyhelm-ctl log 3 failed"

# A newer build replaces this one in place: the service is closed and the new one started.
msiexec /i "$(windows_path "$work/newer.msi")"
[ "$status" -eq 0 ] || fail "the upgrade ended with $status"
log_has "Closed Skyhelm (process" || fail "the upgrade did not close the service"
[ "$(reg_value "$(apps_key "$newer_code")" DisplayVersion)" = "$newer_version" ] || fail "no Apps entry of $newer_version"
[ -z "$(reg_value "$(apps_key "$code")" DisplayName)" ] || fail "the Apps entry of $version is left after the upgrade"
eventually one_service || fail "$(services | wc -l) services run after the upgrade"
[ "$(services)" != "$first" ] || fail "the service was not started again"
for file in $files; do [ -f "$folder/$(basename "$file")" ] || fail "$(basename "$file") is gone after the upgrade"; done
[ -n "$(reg_value "$run_key" Skyhelm)" ] || fail "the upgrade removed the Run value"
grep -q keep "$rules" || fail "the upgrade lost rules.toml"
[ -f "$user_dat" ] || fail "the upgrade removed the user's .dat file"
[ "$(log_setting)" = 3 ] || fail "the upgrade changed SKYHELM_LOG to '$(log_setting)'"

# The older package refuses, saying why; nothing changes.
before=$(machine_state)
second=$(services)
msiexec /i "$(windows_path "$msi")"
[ "$status" -ne 0 ] || fail "the older package installed over the newer one"
# Windows shows the launch condition's text and logs it; Wine's msiexec does neither under /qn,
# so here the refusal is checked to come from that condition.
log_has "LaunchConditions. Return value 0" || fail "the refusal did not come from the launch condition"
grep -qF "A newer version of Skyhelm is already installed" <<<"$(msiinfo export "$msi" LaunchCondition)" ||
  fail "the package does not say why it refuses"
[ "$(machine_state)" = "$before" ] && [ "$(services)" = "$second" ] || fail "the refused install changed the machine"

# A service that does not close (it is stopped here) stops the uninstall before any change, and
# the log says so.
kill -STOP "$second"
stopped_service=$second
msiexec /x "$newer_code"
[ "$status" -ne 0 ] || fail "the uninstall went on while the service could not be closed"
log_has "Skyhelm is running (process" && log_has "cannot be closed" || fail "no message about the service"
[ "$(machine_state)" = "$before" ] || fail "the stopped uninstall changed the machine"
kill -CONT "$second"
stopped_service=""
# The service has the close request now and ends; it is started again, as the log-on start would.
eventually no_service || fail "the service did not close after it was let go"
wine start /b "$(reg_value "$folder_key" InstallFolder)skyhelm.exe" </dev/null >/dev/null 2>&1
eventually one_service || fail "the service did not start again"

# Uninstall: the service closed, the package's files, Run value, folder value and Apps entry
# gone; the user's rules and .dat file (and so the folder that holds it) stay.
msiexec /x "$newer_code"
[ "$status" -eq 0 ] || fail "uninstall ended with $status"
no_service || fail "the service runs after uninstall"
[ "$(ls -A "$folder")" = "$(basename "$user_dat")" ] || fail "left in the folder after uninstall: $(ls -A "$folder")"
[ -z "$(reg_value "$run_key" Skyhelm)" ] || fail "the Run value is left after uninstall"
[ -z "$(reg_value "$folder_key" InstallFolder)" ] || fail "the InstallFolder value is left after uninstall"
[ -z "$(reg_value "$(apps_key "$newer_code")" DisplayName)" ] || fail "the Apps entry is left after uninstall"
grep -q keep "$rules" || fail "uninstall removed rules.toml"
[ -z "$(log_setting)" ] || fail "SKYHELM_LOG is left after uninstall"

# An install that fails half way, after its files and values were written (an action that fails
# is added to the package), leaves the machine as it was: a portable Skyhelm that it closed runs
# again.
mkdir -p "$work/portable"
cp "$(printf "%s\n" $files | grep "/skyhelm\.exe$")" "$work/portable/"
wine start /b "$(windows_path "$work/portable/skyhelm.exe")" </dev/null >/dev/null 2>&1
eventually one_service || fail "the portable service did not start"
cp "$msi" "$work/failing.msi"
msibuild "$work/failing.msi" \
  -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('FailHalfWay', 1058, 'INSTALLFOLDER', 'cmd.exe /c exit 1')" \
  -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('FailHalfWay', 5010)"
before=$(machine_state)
msiexec /i "$(windows_path "$work/failing.msi")"
[ "$status" -ne 0 ] || fail "the failing install ended with 0"
log_has "Closed Skyhelm (process" || fail "the failing install did not close the portable service"
log_has 'Run, Name: Skyhelm, Value: "C:' || fail "the failing install failed before it wrote its values"
eventually one_service || fail "the closed portable service was not started again"
[[ $(command_of "$(services)") == *portable* ]] || fail "the service runs from $(command_of "$(services)")"
[ "$(machine_state)" = "$before" ] || fail "the failed install changed the machine: $(diff <(echo "$before") <(machine_state))"

# The uninstall command of the Apps entry (Settings > Apps > Uninstall) removes everything,
# the folder too once the user's file is gone.
rm -f "$user_dat"
msiexec /i "$(windows_path "$msi")"
[ "$status" -eq 0 ] || fail "the second install ended with $status"
uninstall=$(reg_value "$(apps_key "$code")" UninstallString)
[[ $uninstall == *"$code"* ]] || fail "UninstallString: $uninstall"
status=0
# shellcheck disable=SC2086 # the command line as Settings runs it, made silent
wine $uninstall /qn </dev/null >/dev/null 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "the Apps entry's uninstall command ended with $status"
eventually no_service || fail "the service runs after the Apps entry's uninstall"
[ ! -e "$folder" ] || fail "the folder is left after uninstall: $(ls -A "$folder")"
[ -z "$(reg_value "$(apps_key "$code")" DisplayName)" ] || fail "the Apps entry is left"
echo "PASS ($((SECONDS - started)) s)"
