#!/usr/bin/env bash
# skyhelm-doc rules on the README's example rules file and on a bad one: what it prints, the rule
# in force for a program, and its exit statuses. Arguments: the build folder and the source folder.
source "$(dirname "$0")/doc_common.bash"

# The example of the README's "Automatic profiles" section, as users copy it.
sed -n '/^### Automatic profiles/,/^### /p' "$source/README.md" | sed -n '/^```toml/,/^```$/p' |
  sed '1d;$d' >"$work/rules.toml"
grep -q 'trigger = "running"' "$work/rules.toml" || fail "no example in the README"

out="$("$doc" rules "$work/rules.toml" --program 'C:\Games\DCS World\bin\dcs.exe')"
grep -qx 'rule 2: focus, title "\*Falcon BMS\*"; controller 8E0C5B1A-6F3D-4C2B-9A7E-1D2F3A4B5C6D; load Airliners/Regional Prop.pr0' \
  <<<"$out" || fail "rules printed: $out"
grep -qx 'in force: rule 1' <<<"$out" || fail "DCS.exe: $out"
grep -q 'would send: IOCTL_PROFILE_LOAD <profile folder>.Helicopters.Utility Helicopter.pr0' <<<"$out" || fail "DCS.exe: $out"

# The title rule is for one device type only; the running rule clears.
out="$("$doc" rules "$work/rules.toml" --title 'Falcon BMS 4.37' --controller '{8e0c5b1a-6f3d-4c2b-9a7e-1d2f3a4b5c6d}')"
grep -qx 'in force: rule 2' <<<"$out" || fail "Falcon for its controller: $out"
out="$("$doc" rules "$work/rules.toml" --title 'Falcon BMS 4.37')"
grep -qx 'would send: nothing (keep)' <<<"$out" || fail "Falcon for another controller: $out"
out="$("$doc" rules "$work/rules.toml" --program /opt/il2/Il-2.exe)"
grep -qx 'would send: IOCTL_PROFILE_CLEAR' <<<"$out" || fail "Il-2: $out"

# A bad file: the service's log line on standard error, status 1, nothing on standard output.
printf 'delay_ms = 250\n[[rule]]\nprogram = "a.exe"\nprofil = "x.pr0"\n' >"$work/bad.toml"
status=0
out="$("$doc" rules "$work/bad.toml" 2>"$work/err")" || status=$?
[ "$status" -eq 1 ] && [ -z "$out" ] || fail "bad file: status $status, output $out"
grep -qx "Auto Profile: $work/bad.toml:4:1: unknown key \"profil\" in rule 1; the rules in force stay" \
  "$work/err" || fail "bad file said: $(cat "$work/err")"
status=0
"$doc" rules "$work/missing.toml" 2>/dev/null || status=$?
[ "$status" -eq 2 ] || fail "a missing file gave status $status"
echo PASS
