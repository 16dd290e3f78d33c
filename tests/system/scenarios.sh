#!/usr/bin/env bash
# Plays the scenarios of tests/system/scenarios/ with skyhelm-sim run and checks what they show.
# Layout: NAME.scenario (the steps), NAME.expected (its trace reduced by trace_filter.bash, which
# keeps what a person or the driver sees and drops what varies between runs); optionally
# NAME.status, the exit status expected when it is not 0, and NAME.env, VARIABLE=VALUE lines set
# for the run (SKYHELM_DISPLAY_STRINGS=1). Every handle the service opened must be closed by the
# end of the run.
# Usage: scenarios.sh BUILD_DIR SOURCE_DIR [FILES...]   (FILES default: every NAME.scenario)
# SKYHELM_SIM_RUN, when set, is the command that plays one scenario file given after it (words
# split at spaces) instead of BUILD_DIR/skyhelm-sim run: the Windows stage plays the same
# scenarios against the real skyhelm.exe with scripts/windows-scenario.sh. SKYHELM_SCENARIO_OS
# (windows or linux, default linux) picks NAME.OS.expected and NAME.OS.status over the shared
# ones where a scenario rightly shows something else on that OS; NAME.OS.skip (its text: why)
# leaves the scenario out on that OS.
set -uo pipefail
build=$1
source_dir=$2
shift 2
here=$source_dir/tests/system
files=("$@")
[ ${#files[@]} -gt 0 ] || files=("$here"/scenarios/*.scenario)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

play() {
  if [ -n "${SKYHELM_SIM_RUN:-}" ]; then
    $SKYHELM_SIM_RUN "$1"
  else
    "$build/skyhelm-sim" run "$1"
  fi
}

failed=0
for scenario in "${files[@]}"; do
  base=${scenario%.scenario}
  name=$(basename "$base")
  if [ -f "$base.${SKYHELM_SCENARIO_OS:-linux}.skip" ]; then
    echo "skip $name: $(head -n1 "$base.${SKYHELM_SCENARIO_OS:-linux}.skip")"
    continue
  fi
  expected=$base.expected
  [ -f "$base.${SKYHELM_SCENARIO_OS:-linux}.expected" ] && expected=$base.${SKYHELM_SCENARIO_OS:-linux}.expected
  want_status=0
  [ -f "$base.status" ] && want_status=$(tr -d ' \n' <"$base.status")
  [ -f "$base.${SKYHELM_SCENARIO_OS:-linux}.status" ] &&
    want_status=$(tr -d ' \n' <"$base.${SKYHELM_SCENARIO_OS:-linux}.status")
  settings=()
  [ -f "$base.env" ] && mapfile -t settings < <(grep -v '^[[:space:]]*$' "$base.env")
  status=0
  (
    for setting in "${settings[@]}"; do export "${setting?}"; done
    play "$scenario"
  ) >"$work/$name.trace" 2>"$work/$name.err" || status=$?
  problem=
  if [ "$status" -ne "$want_status" ]; then
    problem="ended with $status, expected $want_status"
  elif ! bash "$here/trace_filter.bash" <"$work/$name.trace" >"$work/$name.seen" ||
       ! diff -u "$expected" "$work/$name.seen" >"$work/$name.diff"; then
    problem="unexpected trace"
  elif [ "$(grep -c '"code":"open","ok":true' "$work/$name.trace")" -ne \
         "$(grep -c '"code":"close"' "$work/$name.trace")" ]; then
    problem="handles left open"
  fi
  if [ -n "$problem" ]; then
    echo "FAIL $name: $problem" >&2
    [ -s "$work/$name.diff" ] && cat "$work/$name.diff" >&2
    tail -n 5 "$work/$name.err" >&2
    failed=1
  else
    echo "ok   $name"
  fi
done
[ "$failed" -eq 0 ] && echo PASS
exit $failed
