#!/usr/bin/env bash
# skyhelm-sim run: a clutch browse and profile load end to end on the trace, the same clutch
# and profile requests on every run, and the exit statuses of bad scenarios.
# Usage: sim_run.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# The requests a person would see, without sequence numbers.
visible() {
  grep -E '"code":"IOCTL_(SET_CLUTCH_TEXT|SET_CLUTCH_MODE|PROFILE_LOAD|PROFILE_ACTIVATE)"' "$1" |
    sed -e 's/"seq":[0-9]*,//' -e 's/,"in":.*//'
}

scenario=$source_dir/tests/system/scenarios/clutch_load.scenario
"$build/skyhelm-sim" run "$scenario" >"$work/first.trace" 2>"$work/first.err" || fail "run ended with $?"
"$build/skyhelm-sim" run "$scenario" >"$work/second.trace" 2>/dev/null || fail "second run failed"
visible "$work/first.trace" >"$work/first.visible"
visible "$work/second.trace" >"$work/second.visible"

cat >"$work/expected" <<'TRACE'
{"dev":"pad","code":"IOCTL_SET_CLUTCH_TEXT","ok":true,"text":"Alpha"
{"dev":"pad","code":"IOCTL_SET_CLUTCH_MODE","ok":true,"mode":1
{"dev":"pad","code":"IOCTL_SET_CLUTCH_TEXT","ok":true,"text":"Beta"
{"dev":"pad","code":"IOCTL_PROFILE_LOAD","ok":true,"path":"$ROOT/documents/Corvane/Beta.pr0","id":1
{"dev":"pad","code":"IOCTL_PROFILE_ACTIVATE","ok":true,"id":1
{"dev":"pad","code":"IOCTL_SET_CLUTCH_MODE","ok":true,"mode":0
TRACE
diff -u "$work/expected" "$work/first.visible" || fail "unexpected clutch trace"
diff -u "$work/first.visible" "$work/second.visible" || fail "the runs differ"
# Every handle the service opened was closed by the end of the run.
[ "$(grep -c '"code":"open","ok":true' "$work/first.trace")" -eq \
  "$(grep -c '"code":"close"' "$work/first.trace")" ] || fail "handles left open"

# A malformed line stops the run with 2 and names the line.
printf 'controller pad\nfolder "unterminated\n' >"$work/bad.scenario"
status=0
"$build/skyhelm-sim" run "$work/bad.scenario" >/dev/null 2>"$work/bad.err" || status=$?
[ "$status" -eq 2 ] || fail "malformed line ended with $status"
grep -q "bad.scenario:2:" "$work/bad.err" || fail "no line number for the malformed line"

# A step that names an undeclared controller is malformed too.
printf 'attach nobody\n' >"$work/unknown.scenario"
status=0
"$build/skyhelm-sim" run "$work/unknown.scenario" >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "unknown controller ended with $status"

# A clutch event with no clutch wait outstanding (never attached) stops with 3.
printf 'controller pad\nclutch pad 1 0\n' >"$work/early.scenario"
status=0
"$build/skyhelm-sim" run "$work/early.scenario" >/dev/null 2>&1 || status=$?
[ "$status" -eq 3 ] || fail "clutch without a wait ended with $status"
echo PASS
