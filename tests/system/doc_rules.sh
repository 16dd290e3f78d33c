#!/usr/bin/env bash
# skyhelm-doc rules on the README's example rules file and on a bad one: what it prints, the rule
# in force for a program, the profiles it finds missing, and its exit statuses. Arguments: the
# build folder and the source folder.
source "$(dirname "$0")/doc_common.bash"

# The example of the README's "Automatic profiles" section, as users copy it.
sed -n '/^### Automatic profiles/,/^### /p' "$source/README.md" | sed -n '/^```toml/,/^```$/p' |
  sed '1d;$d' >"$work/rules.toml"
grep -q 'trigger = "running"' "$work/rules.toml" || fail "no example in the README"
# Its profiles are among the sample profiles (status 0: every profile named exists).
example() { "$doc" rules "$work/rules.toml" --root "$data/profiles" "$@"; }

out="$(example --program 'C:\Games\DCS World\bin\dcs.exe')"
grep -qx 'rule 2: focus, title "\*Falcon BMS\*"; controller 8E0C5B1A-6F3D-4C2B-9A7E-1D2F3A4B5C6D; load Airliners/Regional Prop.pr0' \
  <<<"$out" || fail "rules printed: $out"
grep -qx 'in force: rule 1' <<<"$out" || fail "DCS.exe: $out"
grep -q 'would send: IOCTL_PROFILE_LOAD <profile folder>.Helicopters.Utility Helicopter.pr0' <<<"$out" || fail "DCS.exe: $out"

# The title rule is for one device type only; the running rule clears.
out="$(example --title 'Falcon BMS 4.37' --controller '{8e0c5b1a-6f3d-4c2b-9a7e-1d2f3a4b5c6d}')"
grep -qx 'in force: rule 2' <<<"$out" || fail "Falcon for its controller: $out"
out="$(example --title 'Falcon BMS 4.37')"
grep -qx 'would send: nothing (keep)' <<<"$out" || fail "Falcon for another controller: $out"
out="$(example --program /opt/il2/Il-2.exe)"
grep -qx 'would send: IOCTL_PROFILE_CLEAR' <<<"$out" || fail "Il-2: $out"

# Profiles are looked for where the service looks: in the folder registered for each member GUID
# and in the common documents' Corvane folder, or in --root alone. Each one missing is named.
root=$work/root
registered=$work/registered
mkdir -p "$root/documents/Corvane/DCS" "$root/registry/HKLM/Software/Corvane/ProfileDirectories" \
  "$registered"
printf '[profile]' >"$root/documents/Corvane/DCS/A-10C.pr0"
printf '[profile]' >"$registered/Both.pr0"
cp "$registered/Both.pr0" "$root/documents/Corvane/Both.pr0"
echo "$registered" \
  >"$root/registry/HKLM/Software/Corvane/ProfileDirectories/{4A7D2E91-3B6C-4F80-A1D5-9E8C7B6A5F40}"
cat >"$work/profiles.toml" <<TOML
when_unmatched = "default"
default_profile = "Desk.pr0"
[[rule]]
program = "a"
profile = "DCS/A-10C.pr0"
[[rule]]
program = "b"
clear = true
[[rule]]
program = "c"
profile = "Both.pr0"
[[rule]]
program = "d"
profile = "$registered/Both.pr0"
TOML
status=0
out="$(SKYHELM_ROOT=$root "$doc" rules "$work/profiles.toml" 2>"$work/err")" || status=$?
[ "$status" -eq 1 ] || fail "missing profiles: status $status"
grep -qx "rule 4: focus, program \"d\"; every controller; load $registered/Both.pr0" <<<"$out" ||
  fail "missing profiles, rules printed: $out"
cat >"$work/want" <<TEXT
default_profile: profile Desk.pr0 does not exist: $registered/Desk.pr0
default_profile: profile Desk.pr0 does not exist: $root/documents/Corvane/Desk.pr0
rule 1: profile DCS/A-10C.pr0 does not exist: $registered/DCS/A-10C.pr0
TEXT
diff -u "$work/want" "$work/err" || fail "missing profiles said: $(cat "$work/err")"
printf '[profile]' >"$root/documents/Corvane/Desk.pr0"
out="$("$doc" rules "$work/profiles.toml" --root "$root/documents/Corvane")" ||
  fail "every profile in --root: status $?"
grep -qx "profile folder: $root/documents/Corvane" <<<"$out" || fail "--root: $out"

# A bad file: every mistake in it, about the file alone, on standard error; status 1, nothing on
# standard output.
printf 'delay_ms = 250\nwhen_unmatched = "never"\n[[rule]]\nprogram = "a.exe"\nprofil = "x.pr0"\n' \
  >"$work/bad.toml"
status=0
out="$("$doc" rules "$work/bad.toml" 2>"$work/err")" || status=$?
[ "$status" -eq 1 ] && [ -z "$out" ] || fail "bad file: status $status, output $out"
cat >"$work/want" <<TEXT
$work/bad.toml:2:18: "when_unmatched" must be "keep" or "default" or "clear"
$work/bad.toml:5:1: unknown key "profil" in rule 1
$work/bad.toml:3:1: rule 1 needs exactly one of "profile" and clear = true
TEXT
diff -u "$work/want" "$work/err" || fail "bad file said: $(cat "$work/err")"
status=0
"$doc" rules "$work/missing.toml" 2>/dev/null || status=$?
[ "$status" -eq 2 ] || fail "a missing file gave status $status"
echo PASS
