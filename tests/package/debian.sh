#!/usr/bin/env bash
# The Debian package as a user gets it: its contents and fields, lintian, and the unit's command
# run from the unpacked package against skyhelm-sim serve: it attaches the controller, finds its
# .dat file beside the executable behind the /usr/bin link, answers a clutch event and ends with
# status 0 on SIGTERM.
# Usage: debian.sh PACKAGE.deb SOURCE_DIR
set -euo pipefail
deb=$(realpath "$1")
source_dir=$(realpath "$2")

source "$source_dir/tests/system/process_common.bash"
fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/*.log; do [ -f "$log" ] && { echo "--- $log" >&2; tail -n 30 "$log" >&2; }; done
  exit 1
}

# Fields and contents.
[ "$(dpkg-deb -f "$deb" Package)" = skyhelm ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Architecture)" = amd64 ] || fail "architecture"
version=$(dpkg-deb -f "$deb" Version)
[ "$(basename "$deb")" = "skyhelm_${version}_amd64.deb" ] || fail "file name $(basename "$deb") for $version"
grep -q "^project(skyhelm VERSION ${version%+dirty} " "$source_dir/CMakeLists.txt" \
  || fail "version $version is not the project's"
# A package from a tree with uncommitted changes says so in its version, and only such a one.
if [ -n "$(git -C "$source_dir" status --porcelain 2>/dev/null)" ]; then
  [ "${version%+dirty}" != "$version" ] || fail "version $version of a dirty tree without +dirty"
elif git -C "$source_dir" rev-parse 2>/dev/null; then
  [ "${version%+dirty}" = "$version" ] || fail "version $version of a clean tree with +dirty"
fi
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "no shared library dependencies"

dpkg-deb -c "$deb" | awk '{ path = $6; sub(/^\./, "", path); sub(/\/$/, "", path);
                            if ($1 !~ /^d/) print substr($1, 1, 1), path, $7, $8 }' \
  | sort >"$work/contents"
{
  for program in skyhelm skyhelm-doc skyhelm-sim; do
    echo "l /usr/bin/$program -> ../lib/skyhelm/$program"
    echo "- /usr/lib/skyhelm/$program  "
    echo "- /usr/share/man/man1/$program.1.gz  "
  done
  for dat in "$source_dir"/data/*.dat; do echo "- /usr/lib/skyhelm/$(basename "$dat")  "; done
  echo "- /usr/lib/systemd/user/skyhelm.service  "
  echo "- /usr/share/doc/skyhelm/README.md  "
  echo "- /usr/share/doc/skyhelm/changelog.gz  "
  echo "- /usr/share/doc/skyhelm/copyright  "
  echo "- /usr/share/lintian/overrides/skyhelm  "
} | sort >"$work/expected"
diff -u "$work/expected" "$work/contents" >&2 || fail "package contents"
dpkg-deb -c "$deb" | awk '$1 ~ /x/ && $2 != "root/root" { exit 1 }' || fail "files not owned by root"

# lintian: every finding is either fixed or overridden with its reason.
lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 || fail "lintian findings"

# The package unpacked into a temporary root.
root=$work/root
dpkg -x "$deb" "$root"
unit=$root/usr/lib/systemd/user/skyhelm.service
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ "$exec_start" = /usr/bin/skyhelm ] || fail "ExecStart=$exec_start"
grep -qx 'Restart=on-failure' "$unit" || fail "the unit does not restart on failure"
# The document reader's per-event lines on standard error do not go to the journal by default.
grep -qx 'StandardError=null' "$unit" || fail "the unit keeps standard error"
# Started with the graphical session (DISPLAY is in its environment then) and ended with it.
for line in After=graphical-session.target PartOf=graphical-session.target \
            WantedBy=graphical-session.target; do
  grep -qx "$line" "$unit" || fail "the unit lacks $line"
done
"$root/usr/bin/skyhelm-doc" outputs "$root/usr/lib/skyhelm/8E0C5B1A-6F3D-4C2B-9A7E-1D2F3A4B5C6D.dat" \
  >"$work/doc.log" 2>&1 || fail "skyhelm-doc from the package"

# The environment a systemd user manager gives: HOME and XDG_RUNTIME_DIR, nothing of ours, so the
# documented default folders are used.
home=$work/home
mkdir -p "$home/.local/share/skyhelm/documents/Corvane" "$work/run"
chmod 700 "$work/run"
cp -r "$source_dir/data/profiles/." "$home/.local/share/skyhelm/documents/Corvane/"
unset SKYHELM_ROOT SKYHELM_DEVICE_DIR SKYHELM_LOG SKYHELM_DISPLAY_STRINGS XDG_DATA_HOME
export HOME=$home XDG_RUNTIME_DIR=$work/run

mkfifo "$work/keys"
"$root/usr/bin/skyhelm-sim" serve PAD1 <"$work/keys" >"$work/serve.log" 2>&1 &
driver=$!
exec 3>"$work/keys"
for _ in $(seq 100); do
  [ -S "$work/run/skyhelm/devices/"*PAD1* ] 2>/dev/null && break
  sleep 0.1
done

# With the diagnostics a user switches on (SKYHELM_LOG), the log shows where the .dat was read.
SKYHELM_LOG=3 "$root$exec_start" 2>"$work/service.log" &
service=$!
# Engaging the clutch shows the first profile entry: the service attached the controller. A key
# press before the service has attached is lost (and space toggles the clutch), so the key is
# pressed again every two seconds until the entry shows, for at most 30 seconds.
for _ in $(seq 15); do
  printf ' ' >&3
  for _ in $(seq 20); do
    grep -q 'entry: ' "$work/serve.log" && break 2
    sleep 0.1
  done
done
grep -q 'entry: ' "$work/serve.log" || fail "the clutch showed no profile entry"
kill -0 "$service" 2>/dev/null || fail "the service ended"
grep -q "Reading Config file \"$root/usr/lib/skyhelm/8E0C5B1A-6F3D-4C2B-9A7E-1D2F3A4B5C6D.dat\"" \
  "$work/service.log" || fail "the .dat file was not looked for beside the executable"
grep -q '\[STRING id=0 ' "$work/service.log" || fail "the .dat file beside the executable was not read"

start=$(date +%s%N)
kill -TERM "$service"
status=0
timeout_at=$((start + 3000000000))
while kill -0 "$service" 2>/dev/null && [ "$(date +%s%N)" -lt "$timeout_at" ]; do sleep 0.05; done
kill -0 "$service" 2>/dev/null && fail "the service did not end within 3 s of SIGTERM"
wait "$service" || status=$?
service=""
[ "$status" -eq 0 ] || fail "the service ended with status $status on SIGTERM"
echo "SIGTERM to exit: $((($(date +%s%N) - start) / 1000000)) ms"
printf 'q' >&3
wait "$driver" || true
driver=""
echo "PASS"
