#!/usr/bin/env bash
# Writes the Windows Installer package from skyhelm.wxs with wixl.
# Usage: make-msi.sh FOLDER VERSION OUTPUT
#   FOLDER: the files of the package (the programs, the custom action DLL, README.txt and
#   skyhelm.ico); VERSION: numeric a.b.c (Windows Installer compares no other form).
set -euo pipefail
wxs=$(realpath "$(dirname "${BASH_SOURCE[0]}")/skyhelm.wxs")
folder=$1 version=$2 output=$(realpath -m "$3")
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "make-msi: version '$version' is not a.b.c" >&2; exit 2; }
rm -f "$output"
# wixl finds the files named in the package in the current folder.
(cd "$folder" && wixl -a x64 -D Version="$version" -o "$output" "$wxs")
# wixl 0.101 reads no Execute attribute: the action that starts the closed service again is made
# a rollback action here (DLL from the Binary table 1, continue on failure 0x40, in the script
# 0x400, rollback 0x100).
msibuild "$output" -q "UPDATE CustomAction SET Type = 1345 WHERE Action = 'RestartSkyhelmOnRollback'"
