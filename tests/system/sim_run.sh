#!/usr/bin/env bash
# skyhelm-sim run: the same visible requests on every run of a clutch browse and profile load
# (scenarios.sh checks what they are), and the exit statuses of bad scenarios.
# Usage: sim_run.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

scenario=$source_dir/tests/system/scenarios/clutch_load.scenario
visible() { bash "$source_dir/tests/system/trace_filter.bash" <"$1"; }
"$build/skyhelm-sim" run "$scenario" >"$work/first.trace" 2>"$work/first.err" || fail "run ended with $?"
"$build/skyhelm-sim" run "$scenario" >"$work/second.trace" 2>/dev/null || fail "second run failed"
visible "$work/first.trace" >"$work/first.visible"
visible "$work/second.trace" >"$work/second.visible"
grep -q '"code":"IOCTL_PROFILE_ACTIVATE"' "$work/first.visible" || fail "no profile activated"
diff -u "$work/first.visible" "$work/second.visible" || fail "the runs differ"

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
