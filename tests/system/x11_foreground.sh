#!/usr/bin/env bash
# The X11 foreground watch under Xvfb: runs the X11 tests of test_autoprofile against a private
# virtual display. Exits 77 (ctest: skipped) when Xvfb is not installed.
# Usage: x11_foreground.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
command -v Xvfb >/dev/null || { echo "SKIP: Xvfb is not installed"; exit 77; }
work=$(mktemp -d)
exec 5>"$work/display"
Xvfb -displayfd 5 -nolisten tcp -screen 0 320x200x24 >"$work/xvfb.log" 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 300); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
[ -s "$work/display" ] || { echo "FAIL: Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
export DISPLAY=:$(head -n1 "$work/display")
SKYHELM_X11_TEST=1 "$build/tests/test_autoprofile" --gtest_filter='X11*' --gtest_brief=1
