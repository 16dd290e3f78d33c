#!/usr/bin/env bash
# The Windows setup program under Wine, as a user runs it from the unpacked package: uninstall
# before any install, install with .dat files (folder, manifest, Run value, Apps entry, the
# service running and writing its log file), a second start of the service that ends at once, a
# second install that installs once, the same folder named through a link, a failed update that
# changes nothing and starts the stopped service again, the log file rolling over at 1 MB, the
# log command, status with the log-on start disabled in Task Manager, a Run value naming another
# program (refused), uninstall through the Apps entry's UninstallString, an install without .dat
# files into the default folder, a failed first install that leaves nothing, and folders that
# cannot be written, which change nothing (status 77 when they cannot be made here: skipped).
# Usage: windows_setup.sh BUILD_DIR SOURCE_DIR   (BUILD_DIR: the Windows build tree)
set -euo pipefail
build=$(realpath "$1")
source_dir=$(realpath "$2")
export SKYHELM_WINE_BUILD=$build
source "$source_dir/scripts/wine-env.sh"

work=$(mktemp -d)
readonly_dir=$work/readonly
cleanup() {
  chattr -i "$readonly_dir" 2>/dev/null || true
  # Leave no service, value or log file behind in the shared prefix, whatever happened.
  if ! wine "$work/package/skyhelm-ctl.exe" uninstall </dev/null >/dev/null 2>&1; then
    # A Run value that uninstall refuses: the Apps entry still names the folder.
    wine reg delete "$run_key" /v Skyhelm /f >/dev/null 2>&1 || true
    wine "$work/package/skyhelm-ctl.exe" uninstall </dev/null >/dev/null 2>&1 || true
  fi
  wine reg delete 'HKCU\Environment' /v SKYHELM_LOG /f >/dev/null 2>&1 || true
  [ -z "${log_folder:-}" ] || rm -rf "$log_folder"
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  cat "$work/out" >&2 2>/dev/null || true
  exit 1
}
windows_path() { local path=${1//\//\\}; echo "Z:$path"; }

# Runs the setup program; its output goes to $work/out, its exit status to $status.
setup() {
  status=0
  wine "$work/package/skyhelm-ctl.exe" "$@" </dev/null >"$work/out" 2>&1 || status=$?
}
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
apps_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Skyhelm'
approved_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run'
run_value() { wine reg query "$run_key" /v Skyhelm 2>/dev/null | tr -d '\r' | grep -i 'REG_SZ' || true; }
# The data of a value of the Apps entry; empty when there is none.
apps_value() {
  wine reg query "$apps_key" /v "$1" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z]* *//p"
}
# Waits (at most 30 s) until the command succeeds.
eventually() {
  local deadline=$((SECONDS + 30))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}
# Services started from this test's folders (other Wine prefixes may run their own skyhelm.exe).
services_running() { pgrep -fc "$(basename "$work")[/\\\\].*skyhelm\\.exe\$" || true; }

# The unpacked package: the programs and the README, no .dat file.
mkdir -p "$work/package" "$work/dats"
cp "$build/skyhelm.exe" "$build/skyhelm-doc.exe" "$build/skyhelm-ctl.exe" "$work/package/"
cp "$build/package-staging/README.txt" "$work/package/"
cp "$source_dir"/data/*.dat "$work/dats/"
dat_count=$(ls "$work/dats" | wc -l)

# A run killed half-way may have left its Run value in the prefix; the test starts without one.
if [ -n "$(run_value)" ]; then
  wine reg delete "$run_key" /v Skyhelm /f >/dev/null 2>&1 || true
  [ -z "$(run_value)" ] || fail "a Skyhelm Run value cannot be removed before the test"
fi
[ "$(services_running)" -eq 0 ] || fail "a skyhelm.exe runs before the test"

setup uninstall
[ "$status" -eq 0 ] || fail "uninstall without an install ended with $status"
grep -q "not installed" "$work/out" || fail "uninstall without an install did not say so"

# Folders that cannot be written: an existing one, and a new one below it. Root writes through
# file modes, so the folder is made immutable as well. Where the file system refuses that, the
# rest of the test runs and it ends with status 77, which ctest shows as skipped.
mkdir -p "$readonly_dir"
chmod 555 "$readonly_dir"
skipped=""
if [ "$(id -u)" -eq 0 ] && ! chattr +i "$readonly_dir" 2>/dev/null; then
  skipped="no way to make a folder unwritable for root here"
fi
if [ -z "$skipped" ]; then
  for target in "$readonly_dir" "$readonly_dir/Skyhelm"; do
    setup install --folder "$(windows_path "$target")" --dat "$(windows_path "$work/dats")"
    [ "$status" -eq 1 ] || fail "install into unwritable $target ended with $status"
    grep -q "nothing was changed" "$work/out" || fail "no clear message for unwritable $target"
    [ -z "$(run_value)" ] || fail "a failed install wrote the Run value"
    [ -z "$(ls -A "$readonly_dir")" ] || fail "a failed install left files"
    [ "$(services_running)" -eq 0 ] || fail "a failed install started the service"
  done
  chattr -i "$readonly_dir" 2>/dev/null || true
else
  echo "SKIP (reported at the end): $skipped"
fi

# The service's log file lies in the prefix's local application data folder.
local_appdata=$(find "$WINEPREFIX/drive_c/users" -maxdepth 3 -path '*/AppData/Local' | head -n 1)
[ -n "$local_appdata" ] || fail "no AppData/Local folder in the prefix"
log_folder=$local_appdata/Skyhelm
rm -rf "$log_folder"

# Install into a named folder with the .dat files; the service started with SKYHELM_LOG set
# writes its log file.
target=$work/Programs/Skyhelm
SKYHELM_LOG=4 setup install --folder "$(windows_path "$target")" --dat "$(windows_path "$work/dats")"
[ "$status" -eq 0 ] || fail "install ended with $status"
grep -q "Copied $dat_count .dat file" "$work/out" || fail "install did not report the .dat files"
for file in skyhelm.exe skyhelm-doc.exe skyhelm-ctl.exe README.txt "$work"/dats/*.dat; do
  cmp -s "$work/package/$(basename "$file")" "$target/$(basename "$file")" ||
    cmp -s "$file" "$target/$(basename "$file")" || fail "$(basename "$file") not installed"
done
[ "$(tr -d '\r' <"$target/installed-files.txt" | sort | tr '\n' ' ')" = \
  "$( (cd "$target" && ls | grep -vx installed-files.txt) | sort | tr '\n' ' ')" ] ||
  fail "the manifest does not list the installed files: $(cat "$target/installed-files.txt")"
run_value | grep -qF "\"$(windows_path "$target")\\skyhelm.exe\"" || fail "Run value: $(run_value)"
[ "$(services_running)" -eq 1 ] || fail "$(services_running) services run after install"
[ "$(apps_value DisplayName)" = Skyhelm ] || fail "Apps entry DisplayName: $(apps_value DisplayName)"
[ "$(apps_value InstallLocation)" = "$(windows_path "$target")" ] || fail "InstallLocation: $(apps_value InstallLocation)"
[ "$(apps_value UninstallString)" = "\"$(windows_path "$target")\\skyhelm-ctl.exe\" uninstall" ] ||
  fail "UninstallString: $(apps_value UninstallString)"
for name in DisplayVersion Publisher EstimatedSize NoModify NoRepair; do
  [ -n "$(apps_value "$name")" ] || fail "the Apps entry has no $name"
done
grep -q -- "--- Skyhelm started .* log level 4 ---" "$log_folder/skyhelm.log" 2>/dev/null ||
  fail "no log file in $log_folder: $(ls -A "$log_folder" 2>&1)"

# A second start of the installed service ends at once with status 0.
start=$(date +%s%N)
second=0
timeout 30 wine "$target/skyhelm.exe" </dev/null >/dev/null 2>&1 || second=$?
[ "$second" -eq 0 ] || fail "a second start ended with $second"
echo "second start ended after $((($(date +%s%N) - start) / 1000000)) ms"
[ "$(services_running)" -eq 1 ] || fail "the second start left $(services_running) services"

# Installing again replaces the files and restarts: one value, one running service. The log
# file, 1 MB less a few bytes, rolls over at the new start's first line.
head -c $((1024 * 1024 - 16)) /dev/zero | tr '\0' 'x' >"$log_folder/skyhelm.log"
SKYHELM_LOG=4 setup install --folder "$(windows_path "$target")" --dat "$(windows_path "$work/dats")"
[ "$status" -eq 0 ] || fail "second install ended with $status"
grep -q "already" "$work/out" || fail "second install did not say it was installed already"
[ "$(run_value | wc -l)" -eq 1 ] || fail "Run value after the second install: $(run_value)"
[ "$(services_running)" -eq 1 ] || fail "$(services_running) services run after the second install"
[ "$(ls "$target" | wc -l)" -eq $((5 + dat_count)) ] || fail "files after the second install: $(ls "$target")"
[ "$(stat -c %s "$log_folder/skyhelm.log.1")" -eq $((1024 * 1024 - 16)) ] || fail "the full log was not kept"
head -n 1 "$log_folder/skyhelm.log" | grep -q -- "--- Skyhelm started" || fail "the log did not start anew"

# The same folder through a link is recognised: nothing of it is removed as an "earlier
# installation".
ln -s "$target" "$work/link"
setup install --folder "$(windows_path "$work/link")" --dat "$(windows_path "$work/dats")"
[ "$status" -eq 0 ] || fail "install through a link ended with $status"
grep -q "already" "$work/out" || fail "the folder through a link was not recognised"
[ "$(ls "$target" | wc -l)" -eq $((5 + dat_count)) ] || fail "files after the install through a link: $(ls "$target")"
setup install --folder "$(windows_path "$target")" --dat "$(windows_path "$work/dats")"
[ "$status" -eq 0 ] || fail "install back into the folder ended with $status"

# An update whose copy fails changes nothing and starts the service it stopped again. The copy
# of a new .dat fails: a folder stands where its temporary copy would go.
mkdir -p "$work/broken"
cp "$work"/dats/*.dat "$work/broken/"
new_dat=00000000-0000-0000-0000-000000000000.dat
echo new >"$work/broken/$new_dat"
mkdir "$target/$new_dat.skyhelm-new"
before=$(find "$target" | sort; find "$target" -type f -exec md5sum {} + | sort)
setup install --folder "$(windows_path "$target")" --dat "$(windows_path "$work/broken")"
[ "$status" -eq 1 ] || fail "an update with a failing copy ended with $status"
grep -q "nothing was changed" "$work/out" || fail "the failed update did not say nothing was changed"
grep -q "runs again" "$work/out" || fail "the failed update did not start the service again"
[ "$(find "$target" | sort; find "$target" -type f -exec md5sum {} + | sort)" = "$before" ] ||
  fail "the failed update changed files: $(ls -A "$target")"
[ "$(services_running)" -eq 1 ] || fail "$(services_running) services run after the failed update"
rmdir "$target/$new_dat.skyhelm-new"

# The log-on start disabled in Task Manager shows in status.
wine reg add "$approved_key" /v Skyhelm /t REG_BINARY /d 030000000000000000000000 /f >/dev/null 2>&1
setup status
grep -q "disabled in Task Manager" "$work/out" || fail "status did not report the disabled log-on start"
wine reg delete "$approved_key" /v Skyhelm /f >/dev/null 2>&1

# The log command sets and removes the user variable and says where the file is.
setup log 3
[ "$status" -eq 0 ] || fail "log 3 ended with $status"
grep -q 'skyhelm\.log' "$work/out" || fail "log 3 did not name the file"
wine reg query 'HKCU\Environment' /v SKYHELM_LOG 2>/dev/null | grep -q 'REG_SZ *3' || fail "SKYHELM_LOG is not 3"
setup log off
[ "$status" -eq 0 ] || fail "log off ended with $status"
! wine reg query 'HKCU\Environment' /v SKYHELM_LOG >/dev/null 2>&1 || fail "SKYHELM_LOG is left after log off"

# A Run value that names another program is refused: nothing is deleted.
good_run=$(run_value | sed 's/^.*REG_SZ *//')
for other in 'C:\windows\notepad.exe' 'skyhelm.exe' '"C:\x\skyhelm.exe" --other'; do
  wine reg add "$run_key" /v Skyhelm /d "$other" /f >/dev/null 2>&1
  setup uninstall
  [ "$status" -eq 1 ] || fail "uninstall with the Run value $other ended with $status"
  grep -qF "$other" "$work/out" || fail "uninstall did not say what it found"
  [ "$(ls "$target" | wc -l)" -eq $((5 + dat_count)) ] || fail "uninstall with the Run value $other removed files"
  [ "$(services_running)" -eq 1 ] || fail "uninstall with the Run value $other stopped the service"
done
wine reg add "$run_key" /v Skyhelm /d "$good_run" /f >/dev/null 2>&1

# The Apps entry's UninstallString, run as a command, removes everything: setup uninstalls from
# a copy of itself in the temporary folder, since it cannot remove the folder it runs from.
uninstall_string=$(apps_value UninstallString)
uninstall_exe=${uninstall_string#\"}
uninstall_exe=${uninstall_exe%%\"*}
status=0
wine "$uninstall_exe" ${uninstall_string##*\" } </dev/null >"$work/out" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "the UninstallString ended with $status"
eventually test ! -e "$target" || fail "files left after uninstall: $(ls -A "$target")"
eventually test "$(services_running)" -eq 0 || fail "the service runs after uninstall"
[ -z "$(run_value)" ] || fail "the Run value is left after uninstall"
[ -z "$(apps_value DisplayName)" ] || fail "the Apps entry is left after uninstall"

# The default folder, no .dat file in the package folder: installed, said so, removed again.
setup install
[ "$status" -eq 0 ] || fail "install into the default folder ended with $status"
grep -q "No .dat files" "$work/out" || fail "install without .dat files did not say so"
default_folder=$(find "$WINEPREFIX/drive_c/users" -maxdepth 5 -path '*/AppData/Local/Programs/Skyhelm' | head -n 1)
[ -n "$default_folder" ] && [ -f "$default_folder/skyhelm.exe" ] || fail "not in the local programs folder"
setup status
grep -q "is running" "$work/out" || fail "the service does not run after the default install"
setup uninstall
[ "$status" -eq 0 ] || fail "uninstall of the default install ended with $status"
grep -q "Stopped Skyhelm" "$work/out" || fail "uninstall did not stop the service"
[ ! -e "$default_folder" ] || fail "the default folder is left after uninstall"
[ -z "$(run_value)" ] || fail "the Run value is left after uninstall"
setup status
grep -q "not running" "$work/out" || fail "the service runs after uninstall"
# The temporary copy that uninstalled is removed by the next setup.
copies=$(find "$WINEPREFIX/drive_c/users" -maxdepth 4 -name 'skyhelm-ctl-*.exe')
[ -z "$copies" ] || fail "temporary copies of setup are left: $copies"

# A first install whose copy fails leaves nothing behind: the copy of setup itself, made after
# those of the programs, is kept from being made by a folder at its temporary name.
mkdir -p "$work/Failed/Skyhelm/skyhelm-ctl.exe.skyhelm-new"
setup install --folder "$(windows_path "$work/Failed/Skyhelm")" --dat "$(windows_path "$work/dats")"
[ "$status" -eq 1 ] || fail "a first install with a failing copy ended with $status"
grep -q "nothing was changed" "$work/out" || fail "the failed install did not say nothing was changed"
[ "$(find "$work/Failed" | wc -l)" -eq 3 ] || fail "the failed install left $(find "$work/Failed")"
[ -z "$(run_value)" ] && [ -z "$(apps_value DisplayName)" ] || fail "the failed install left values"
[ "$(services_running)" -eq 0 ] || fail "the failed install started the service"
if [ -n "$skipped" ]; then
  echo "PASS, except the unwritable folders: SKIPPED ($skipped)"
  exit 77
fi
echo "PASS"
