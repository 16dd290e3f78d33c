#!/usr/bin/env bash
# skyhelm-doc summary on our sample profile and on edge cases: the JSON it prints and its exit
# statuses. Arguments: the build folder and the source folder.
source "$(dirname "$0")/doc_common.bash"

default="$data/profiles/Default.pr0"
member=4A7D2E91-3B6C-4F80-A1D5-9E8C7B6A5F40

# The sample controller with its shift button 6: both shifts are default ones, tables in key
# order (GUIDs by their stored bytes, controls by number).
expected='{"profile":"Default","commands":[["{F0DB81A2-DC60-4958-8E91-14367F8FC781}","Gear Toggle"],["{47AB9FD5-38BF-4C3A-B1E0-C05C1A5474FD}","Brakes"]],"controls":[[1,"Gear"],[2,"Brakes"],[6,"Shift"],[48,"Throttle"]],"shifts":[["{E4A28A95-F0E2-4E21-ADC7-7E4830E633A0}","Shifted",true],["{716FD0B3-0E4B-43D1-A9E3-97F092AC262F}","Normal",true]],"ignore":[[3,6]]}'
actual="$("$doc" summary "$default" --member "$member" --shift-buttons 6 2>/dev/null)"
[ "$actual" = "$expected" ] || fail "summary printed $actual"

# Without shift buttons, as during a session's setup: a shift selected by a button is not a
# default one. The controller GUID finds the controller as well.
actual="$("$doc" summary "$default" --controller '{c3e1f5a7-9b2d-4e6f-8a0c-1b3d5f7e9a2c}' 2>/dev/null)"
case "$actual" in
  *'"Shifted",false]'*'"Normal",true]'*) ;;
  *) fail "summary without shift buttons printed $actual" ;;
esac

# No matching controller: the profile's name and commands only.
actual="$("$doc" summary "$default" 2>/dev/null)"
case "$actual" in
  *'"controls":[],"shifts":[],"ignore":[]}') ;;
  *) fail "summary without controller printed $actual" ;;
esac

# A profile without a profile element, and a string command that is not named.
document "$work/bare.pr0" "[commands [stringcommand={00000000-0000-0000-0000-000000000001} name='S']]"
[ "$("$doc" summary "$work/bare.pr0" 2>/dev/null)" = '{"profile":"No Profile","commands":[],"controls":[],"shifts":[],"ignore":[]}' ] \
  || fail "summary of a bare document"

# Exit statuses: reader failure 1; unreadable file and bad usage 2, with a reason.
document "$work/broken.pr0" "[profile='Broken' [commands"
status=0; "$doc" summary "$work/broken.pr0" >/dev/null 2>&1 || status=$?
[ "$status" = 1 ] || fail "a syntax error exited $status"
status=0; "$doc" summary "$work/missing.pr0" >/dev/null 2>"$work/err" || status=$?
[ "$status" = 2 ] && grep -q "Could not open file" "$work/err" || fail "a missing file exited $status"
for bad in "" "--member" "$default --member nonsense" "$default --shift-buttons 6,x" "$default --colour red"; do
  status=0; "$doc" summary $bad >/dev/null 2>"$work/err" || status=$?
  [ "$status" = 2 ] && grep -q "usage" "$work/err" || fail "usage '$bad' exited $status"
done
echo "doc summary: ok"
