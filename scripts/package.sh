#!/usr/bin/env bash
# Builds the release programs and writes the packages into build/package/:
#   skyhelm-<version>-windows-x64.zip  (MinGW-w64 cross build: the service, skyhelm-doc, setup)
#   skyhelm_<version>_amd64.deb        (the service, skyhelm-doc, skyhelm-sim, the user unit)
# The version is the project version in CMakeLists.txt, with "+dirty" when the work tree has
# uncommitted changes. Usage: package.sh [zip] [deb]   (both when none is named)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
kinds=("$@")
((${#kinds[@]})) || kinds=(zip deb)
for kind in "${kinds[@]}"; do
  case $kind in
    zip|deb) ;;
    *) echo "usage: package.sh [zip] [deb]" >&2; exit 2 ;;
  esac
done

bash scripts/install-deps.sh
out=build/package
mkdir -p "$out"
for kind in "${kinds[@]}"; do
  if [ "$kind" = zip ]; then
    preset=windows-release pattern='skyhelm-*-windows-x64.zip'
  else
    preset=linux-release pattern='skyhelm_*_amd64.deb'
  fi
  # Only the packaged programs are built: the preset has no tests or benchmarks.
  find "$out" -maxdepth 1 -name "$pattern" -delete
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  cpack --preset "$preset" >/dev/null
  rm -rf "$out/_CPack_Packages"
  for package in "$out"/$pattern; do
    [ -f "$package" ] || { echo "package.sh: no $pattern was written" >&2; exit 1; }
    echo "wrote $package ($(stat -c %s "$package") bytes)"
  done
done
