#!/usr/bin/env bash
# skyhelm-doc events: JSON lines per reader event, exit status 0/1/2. Args: BUILD_DIR SOURCE_DIR.
set -euo pipefail
build=$1
doc="$build/skyhelm-doc"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# write NAME TEXT: a UTF-16LE document with a byte order mark; TEXT is a Python string literal.
write() {
  python3 -c "import sys; open(sys.argv[1], 'wb').write(b'\xff\xfe' + ($2).encode('utf-16-le', 'surrogatepass'))" "$work/$1"
}

# check NAME EXPECTED_STATUS EXPECTED_STDOUT
check() {
  local status=0
  "$doc" events "$work/$1" >"$work/out" 2>"$work/err" || status=$?
  if [ "$status" != "$2" ] || [ "$(cat "$work/out")" != "$3" ]; then
    echo "FAIL $1: status $status (want $2)"; echo "got:"; cat "$work/out"; echo "want:"; echo "$3"
    failures=$((failures + 1))
  fi
  # Every line is valid JSON.
  python3 -c "import json, sys; [json.loads(l) for l in open(sys.argv[1], encoding='utf-8')]" "$work/out" \
    || { echo "FAIL $1: invalid JSON"; failures=$((failures + 1)); }
}

write good "'[root=own a=1 q=\'say \"hi\"\' [child x<3 ]=[> w=\'it\\\\\'s\'] [e]]'"
check good 0 '{"start":"root","value":"own","attrs":[["a","1"],["q","say \"hi\""]]}
{"start":"child","value":"","attrs":[["x","]=["],["w","it'"'"'s"]]}
{"end":true}
{"start":"e","value":"","attrs":[]}
{"end":true}
{"end":true}
{"ok":true}'

write text "'[t tab=\'a\tb\' smile=\U0001F600 lone=x\ud800y bs=a\\\\b]'"
check text 0 '{"start":"t","value":"","attrs":[["tab","a\u0009b"],["smile","😀"],["lone","x\ud800y"],["bs","a\\b"]]}
{"end":true}
{"ok":true}'

write raw_nul "'[r d<3 a\x00b]'"
check raw_nul 0 '{"start":"r","value":"","attrs":[["d","a\u0000b"]]}
{"end":true}
{"ok":true}'

write bad "'[a [b c d]]'"
check bad 1 '{"start":"a","value":"","attrs":[]}
{"error":"Attribute value missing"}'

write mark_only "''"
check mark_only 0 '{"ok":true}'

printf '[a]' >"$work/no_mark"
check no_mark 1 '{"error":"utf16LE, byte order mark missing from start of input (0xFF,0xFE)"}'

# Unreadable file and bad usage: status 2, one line on standard error, nothing on standard output.
for args in "events $work/missing" "events" "events a b" "nonsense" ""; do
  status=0
  # shellcheck disable=SC2086
  "$doc" $args >"$work/out" 2>"$work/err" || status=$?
  if [ "$status" != 2 ] || [ -s "$work/out" ] || [ "$(wc -l <"$work/err")" != 1 ]; then
    echo "FAIL usage '$args': status $status"; cat "$work/err"; failures=$((failures + 1))
  fi
done

[ "$failures" = 0 ] && echo "doc_events: all passed"
exit "$failures"
