#!/usr/bin/env bash
# Builds the release programs and writes the packages into build/package/:
#   skyhelm-<version>-x64.msi          (Windows Installer package, per user: the service,
#                                       skyhelm-doc, skyhelm-ctl, README.txt; made with wixl)
#   skyhelm-<version>-windows-x64.zip  (MinGW-w64 cross build: the same programs, portable)
#   skyhelm_<version>_amd64.deb        (the service, skyhelm-doc, skyhelm-sim, the user unit)
# The version is the project version in CMakeLists.txt, with "+dirty" when the work tree has
# uncommitted changes (in the file names; inside the Windows Installer package, which takes
# numbers only, the project version). Usage: package.sh [msi] [zip] [deb]   (all when none is named)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
kinds=("$@")
((${#kinds[@]})) || kinds=(msi zip deb)
for kind in "${kinds[@]}"; do
  case $kind in
    msi|zip|deb) ;;
    *) echo "usage: package.sh [msi] [zip] [deb]" >&2; exit 2 ;;
  esac
done

bash scripts/install-deps.sh
out=build/package
mkdir -p "$out"
# The Windows Installer package from the release build's files, stripped as CPack strips those of
# the zip.
make_msi() {
  local build=build/windows-release files=build/windows-release/msi-files version package_version
  read -r version package_version <"$build/package-staging/msi-version.txt"
  rm -rf "$files"
  mkdir -p "$files"
  cp "$build"/skyhelm.exe "$build"/skyhelm-doc.exe "$build"/skyhelm-ctl.exe \
     "$build"/skyhelm-installer-actions.dll "$build"/package-staging/README.txt \
     packaging/windows/skyhelm.ico "$files/"
  x86_64-w64-mingw32-strip "$files"/*.exe "$files"/*.dll
  bash packaging/windows/make-msi.sh "$files" "$version" "$out/skyhelm-$package_version-x64.msi"
}

for kind in "${kinds[@]}"; do
  case $kind in
    msi) preset=windows-release pattern='skyhelm-*-x64.msi' ;;
    zip) preset=windows-release pattern='skyhelm-*-windows-x64.zip' ;;
    deb) preset=linux-release pattern='skyhelm_*_amd64.deb' ;;
  esac
  # Only the packaged programs are built: the preset has no tests or benchmarks.
  find "$out" -maxdepth 1 -name "$pattern" -delete
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  if [ "$kind" = msi ]; then
    make_msi
  else
    cpack --preset "$preset" >/dev/null
    rm -rf "$out/_CPack_Packages"
  fi
  for package in "$out"/$pattern; do
    [ -f "$package" ] || { echo "package.sh: no $pattern was written" >&2; exit 1; }
    echo "wrote $package ($(stat -c %s "$package") bytes)"
  done
done
