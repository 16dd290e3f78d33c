#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running need, when any is missing,
# then checks that the tools the builds call are really there.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev
          libbenchmark-dev g++-mingw-w64-x86-64-posix wine wine64
          libpugixml-dev librapidxml-dev libexpat1-dev python3
          libtomlplusplus-dev libxcb1-dev pkg-config xvfb x11-utils
          dpkg-dev lintian unzip wixl msitools)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q -o Acquire::Retries=3
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q -o Acquire::Retries=3 \
    --no-install-recommends "${missing[@]}"
fi
for tool in cmake ninja g++ clang++ x86_64-w64-mingw32-g++-posix wine wineserver cpack \
            dpkg-shlibdeps lintian unzip pkg-config Xvfb wixl msiinfo msibuild msiextract; do
  command -v "$tool" >/dev/null || { echo "install-deps: $tool is still missing" >&2; exit 1; }
done
[ -f /usr/src/googletest/CMakeLists.txt ] || { echo "install-deps: no GoogleTest sources" >&2; exit 1; }
