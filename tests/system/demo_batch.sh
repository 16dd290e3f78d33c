#!/usr/bin/env bash
# scripts/demo.sh --batch on the build at hand: the demo's own rules switch the controllers'
# profiles as `p` brings its demo programs to the front (on its own Xvfb display), and the
# user's configuration folder is neither read nor made. Exits 77 (ctest: skipped) without Xvfb.
# Usage: demo_batch.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$2
command -v Xvfb >/dev/null || { echo "SKIP: Xvfb is not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  cat "$work/demo.out" >&2
  exit 1
}
mkdir -p "$work/home"
HOME=$work/home XDG_CONFIG_HOME= SKYHELM_DEMO_BUILD=$build \
  bash "$source_dir/scripts/demo.sh" --batch >"$work/demo.out" 2>&1 || fail "the demo failed"
[ ! -e "$work/home/.config" ] || fail "the demo made the user's configuration folder"
# Each program in front, then the desktop, loads its profile of data/demo-rules.toml: the last
# four profiles the first controller shows, in order.
seen=$(awk '/PAD1/ { getline; if (sub(/^ *profile: /, "")) print }' "$work/demo.out" | uniq | tail -n 4 |
       paste -sd '|')
[ "$seen" = "Utility Helicopter.pr0|Piper Cub.pr0|Regional Prop.pr0|Default.pr0" ] ||
  fail "the first controller showed $seen"
echo PASS
