#!/usr/bin/env bash
# The Windows setup program under Wine, as a user runs it from the unpacked package: uninstall
# before any install, install with .dat files (folder, Run value, the service running), a second
# start of the service that ends at once, a second install that installs once, an install without
# .dat files into the default folder, uninstall stopping the running service and leaving no
# value or file behind, and folders that cannot be written, which change nothing.
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
  # Leave no service or Run value behind in the shared prefix, whatever happened.
  wine "$work/package/skyhelm-setup.exe" uninstall </dev/null >/dev/null 2>&1 || true
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
  wine "$work/package/skyhelm-setup.exe" "$@" </dev/null >"$work/out" 2>&1 || status=$?
}
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
run_value() { wine reg query "$run_key" /v Skyhelm 2>/dev/null | tr -d '\r' | grep -i 'REG_SZ' || true; }
# Services started from this test's folders (other Wine prefixes may run their own skyhelm.exe).
services_running() { pgrep -fc "$(basename "$work")[/\\\\].*skyhelm\\.exe\$" || true; }

# The unpacked package: the programs and the README, no .dat file.
mkdir -p "$work/package" "$work/dats"
cp "$build/skyhelm.exe" "$build/skyhelm-doc.exe" "$build/skyhelm-setup.exe" "$work/package/"
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
# file modes, so the folder is made immutable as well.
mkdir -p "$readonly_dir"
chmod 555 "$readonly_dir"
if [ "$(id -u)" -ne 0 ] || chattr +i "$readonly_dir" 2>/dev/null; then
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
  echo "SKIP: no way to make a folder unwritable for root here"
fi

# Install into a named folder with the .dat files.
target=$work/Programs/Skyhelm
setup install --folder "$(windows_path "$target")" --dat "$(windows_path "$work/dats")"
[ "$status" -eq 0 ] || fail "install ended with $status"
grep -q "Copied $dat_count .dat file" "$work/out" || fail "install did not report the .dat files"
for file in skyhelm.exe skyhelm-doc.exe README.txt "$work"/dats/*.dat; do
  cmp -s "$work/package/$(basename "$file")" "$target/$(basename "$file")" ||
    cmp -s "$file" "$target/$(basename "$file")" || fail "$(basename "$file") not installed"
done
run_value | grep -qF "\"$(windows_path "$target")\\skyhelm.exe\"" || fail "Run value: $(run_value)"
[ "$(services_running)" -eq 1 ] || fail "$(services_running) services run after install"

# A second start of the installed service ends at once with status 0.
start=$(date +%s%N)
second=0
timeout 30 wine "$target/skyhelm.exe" </dev/null >/dev/null 2>&1 || second=$?
[ "$second" -eq 0 ] || fail "a second start ended with $second"
echo "second start ended after $((($(date +%s%N) - start) / 1000000)) ms"
[ "$(services_running)" -eq 1 ] || fail "the second start left $(services_running) services"

# Installing again replaces the files and restarts: one value, one running service.
setup install --folder "$(windows_path "$target")" --dat "$(windows_path "$work/dats")"
[ "$status" -eq 0 ] || fail "second install ended with $status"
grep -q "already" "$work/out" || fail "second install did not say it was installed already"
[ "$(run_value | wc -l)" -eq 1 ] || fail "Run value after the second install: $(run_value)"
[ "$(services_running)" -eq 1 ] || fail "$(services_running) services run after the second install"
[ "$(ls "$target" | wc -l)" -eq $((3 + dat_count)) ] || fail "files after the second install: $(ls "$target")"

# Uninstall stops the service through its window and leaves nothing behind.
setup uninstall
[ "$status" -eq 0 ] || fail "uninstall ended with $status"
grep -q "Stopped Skyhelm" "$work/out" || fail "uninstall did not stop the service"
[ "$(services_running)" -eq 0 ] || fail "the service runs after uninstall"
[ -z "$(run_value)" ] || fail "the Run value is left after uninstall"
[ ! -e "$target" ] || fail "files left after uninstall: $(ls -A "$target")"

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
[ ! -e "$default_folder" ] || fail "the default folder is left after uninstall"
[ -z "$(run_value)" ] || fail "the Run value is left after uninstall"
setup status
grep -q "not running" "$work/out" || fail "the service runs after uninstall"
echo "PASS"
