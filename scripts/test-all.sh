#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the Linux sanitizer build, the
# ThreadSanitizer build, the Windows build under Wine, the Debian package and the Windows
# Installer package under Wine. Every stage runs even when an earlier one failed, so that one run
# shows all failures; the exit status is that of the first failure.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/install-deps.sh || exit 1

status=0
failed=()
stage() {
  local name=$1
  shift
  local start=$SECONDS
  echo "=== $name"
  if "$@"; then
    echo "=== $name: passed ($((SECONDS - start)) s)"
  else
    local code=$?
    echo "=== $name: FAILED ($((SECONDS - start)) s)"
    failed+=("$name")
    [ "$status" -ne 0 ] || status=$code
  fi
}

linux_preset() {
  cmake --preset "$1" && cmake --build --preset "$1" && ctest --preset "$1"
}

# The release programs (only those) in a Debian package, checked as a user would install it.
debian_package() {
  bash scripts/package.sh deb && bash tests/package/debian.sh build/package/skyhelm_*_amd64.deb .
}

# The Windows Installer package of the release programs, installed, upgraded and removed under
# Wine in a prefix of its own.
windows_package() {
  bash scripts/package.sh msi && bash tests/package/windows_msi.sh build/package/skyhelm-*-x64.msi .
}

stage "debug (ASan+UBSan)" linux_preset debug
stage "tsan" linux_preset tsan
stage "windows (Wine)" bash scripts/test-windows.sh
stage "Debian package" debian_package
stage "Windows package (Wine)" windows_package

if ((${#failed[@]})); then
  echo "failed: ${failed[*]}"
fi
exit $status
