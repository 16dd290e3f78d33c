#!/usr/bin/env bash
# skyhelm-doc tree and outputs on our sample documents and on edge cases: the JSON they print
# and their exit statuses. Arguments: the build folder and the source folder.
source "$(dirname "$0")/doc_common.bash"

# outputs: the sample controller's tables, exactly.
expected='{"leds":[{"id":0,"command":512,"index":0,"maxvalue":1},{"id":1,"command":512,"index":1,"maxvalue":1},{"id":2,"command":512,"index":2,"maxvalue":1},{"id":3,"command":513,"index":0,"maxvalue":3}],"strings":[{"id":0,"clearcommand":256,"setcommand":257,"maxlength":16,"marqueetime":250},{"id":1,"clearcommand":272,"setcommand":273,"maxlength":16,"marqueetime":250},{"id":2,"clearcommand":288,"setcommand":289,"maxlength":16,"marqueetime":250}],"shiftbuttons":[6]}'
actual="$("$doc" outputs "$data/8E0C5B1A-6F3D-4C2B-9A7E-1D2F3A4B5C6D.dat")"
[ "$actual" = "$expected" ] || fail "outputs printed $actual"

# outputs: keys in key order, low bits, a missing outputlist.
document "$work/order.dat" "[device [outputlist [shiftbutton=9] [shiftbutton=2] [ledcaps=5 index=300] [ledcaps=1]]]"
actual="$("$doc" outputs "$work/order.dat")"
[ "$actual" = '{"leds":[{"id":1,"command":0,"index":0,"maxvalue":1},{"id":5,"command":0,"index":44,"maxvalue":1}],"strings":[],"shiftbuttons":[2,9]}' ] \
  || fail "outputs order printed $actual"
document "$work/empty.dat" "[device]"
[ "$("$doc" outputs "$work/empty.dat")" = '{"leds":[],"strings":[],"shiftbuttons":[]}' ] || fail "outputs without outputlist"

# tree: the output vocabulary, fields in exchange order under their field names.
"$doc" tree --vocab output "$data/2B6F0C4E-51A3-4D7E-8C19-7A0E3F6B2D84.dat" > "$work/output.json"
python3 - "$work/output.json" <<'PY' || fail "tree --vocab output"
import json, sys
tree = json.load(open(sys.argv[1]))
assert tree["tag"] == "device" and tree["fields"] == {}, tree["tag"]
caps = tree["children"][0]["children"]
led = next(c for c in caps if c["tag"] == "ledcaps" and c["fields"]["value"] == 2)
assert list(led["fields"].items()) == [("value", 2), ("maxvalue", 255), ("default", 128), ("command", 0x341), ("index", 0)], led
string = caps[0]["fields"]
assert list(string) == ["value", "maxlength", "setcommand", "clearcommand", "marqueetime"] and string["marqueetime"] == 200
page = tree["children"][1]["children"][0]
assert page["fields"] == {"value": 0, "name": "Flight"}
condition = page["children"][5]["children"][0]
assert condition == {"tag": "ledcondition", "fields": {"value": "gear.down", "true": 1, "false": 0}, "children": []}, condition
PY

# tree: the profile vocabulary with GUIDs, times, enums, booleans and the member fill-in.
"$doc" tree --vocab profile "$data/profiles/General Aviation/Cessna 172 Skyhawk.pr0" > "$work/profile.json"
python3 - "$work/profile.json" <<'PY' || fail "tree --vocab profile"
import json, sys
tree = json.load(open(sys.argv[1]))
def walk(node):
    yield node
    for child in node["children"]:
        yield from walk(child)
nodes = list(walk(tree))
assert tree["fields"] == {"value": "Cessna 172 Skyhawk", "version": 16777217}
first = next(n for n in nodes if n["tag"] == "actioncommand")["fields"]
assert first == {"value": "{392EBBDD-AF37-49AB-B574-1585EF0D71BA}", "name": "Flaps Up", "icon": "{42726D86-9680-4501-806B-44C9456158C7}"}, first
actions = [n["fields"] for n in nodes if n["tag"] == "action"]
assert list(actions[0]) == ["device", "time", "usage", "page", "value"]
assert {a["device"] for a in actions} == {0, 1, 2, 3, 4}
assert -500000 in {a["time"] for a in actions}
pedals = [n["fields"] for n in nodes if n["tag"] == "member"][1]
assert pedals["name"] == "Pedals" and pedals["shortname"] == "Pedals", pedals
button = next(n for n in nodes if n["tag"] == "button")["fields"]
assert list(button) == ["value", "name", "role", "mapping", "latched", "latchable"] and button["latchable"] is True
mouse = next(n for n in nodes if n["tag"] == "mouse")["fields"]
assert list(mouse) == ["x-sensitivity", "y-sensitivity", "x-invert", "y-invert"], mouse
assert next(n for n in nodes if n["tag"] == "blast")["fields"]["data"] == "MASTER=OFF;AVIONICS=OFF;"
PY

# tree: text beyond ASCII, escapes, a lone surrogate written as \uXXXX.
python3 - "$work/text.pr0" <<'PY'
import sys
text = "[profile='\u00c9cureuil \"AS350\" \\\\ \U0001F681 \udcff']"
open(sys.argv[1], "wb").write(b"\xff\xfe" + text.encode("utf-16-le", "surrogatepass"))
PY
"$doc" tree --vocab profile "$work/text.pr0" > "$work/text.json"
grep -qi '\\uDCFF' "$work/text.json" || fail "lone surrogate not escaped: $(cat "$work/text.json")"
python3 -c 'import json,sys; v=json.load(open(sys.argv[1]))["fields"]["value"]; assert v.startswith("\u00c9cureuil \"AS350\" \\\\ \U0001F681 "), v' "$work/text.json" \
  || fail "text printed $(cat "$work/text.json")"

# tree: no root, unknown top-level tag, syntax error, unreadable file, bad usage.
document "$work/empty.pr0" ""
[ "$("$doc" tree --vocab profile "$work/empty.pr0" 2>/dev/null)" = "null" ] || fail "empty document"
[ "$("$doc" tree --vocab output "$work/empty.pr0" 2>/dev/null)" = "null" ] || fail "empty document"
# An unknown top-level tag reads without error and gives no root, even with known elements
# inside it; the loader says so on standard error, in its order.
document "$work/unknown.pr0" "[cockpit name='x' [commands [actioncommand={392EBBDD-AF37-49AB-B574-1585EF0D71BA} name='a']]]"
document "$work/unknown.dat" "[profile='x' [outputlist [shiftbutton=6]]]"
loader=$(printf ' - - - - - Pr0 Parser says... "%s"\n' Parsing "Parsed OK" "root is null")
for case in "profile unknown.pr0" "output unknown.dat"; do
  read -r vocab file <<<"$case"
  status=0; actual=$("$doc" tree --vocab "$vocab" "$work/$file" 2>"$work/err") || status=$?
  [ "$status" = 0 ] && [ "$actual" = "null" ] || fail "unknown top-level tag ($case): status $status, printed $actual"
  [ "$(cat "$work/err")" = "$loader" ] || fail "unknown top-level tag ($case): stderr $(cat "$work/err")"
done
document "$work/broken.pr0" "[profile [commands]"
status=0; "$doc" tree --vocab profile "$work/broken.pr0" >/dev/null 2>"$work/err" || status=$?
[ "$status" = 1 ] || fail "syntax error gave status $status"
grep -q 'Bracket missmatch' "$work/err" || fail "reader message missing: $(cat "$work/err")"
status=0; "$doc" tree --vocab profile "$work/missing.pr0" >/dev/null 2>"$work/err" || status=$?
[ "$status" = 2 ] || fail "missing file gave status $status"
[ -s "$work/err" ] || fail "missing file: no reason given"
for args in "tree" "tree --vocab other $work/empty.pr0" "tree $work/empty.pr0" "outputs" "outputs a b"; do
  status=0; $doc $args >/dev/null 2>&1 || status=$?
  [ "$status" = 2 ] || fail "usage '$args' gave status $status"
done
status=0; "$doc" outputs "$work/broken.pr0" >/dev/null 2>&1 || status=$?
[ "$status" = 1 ] || fail "outputs of a broken document gave status $status"
echo "skyhelm-doc tree and outputs: ok"
