#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the Linux sanitizer build, the
# ThreadSanitizer build, the Windows build under Wine and the Debian package. Every stage runs
# even when an earlier one failed, so that one run shows all failures; the exit status is that of
# the first failure.
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

stage "debug (ASan+UBSan)" linux_preset debug
stage "tsan" linux_preset tsan
stage "windows (Wine)" bash scripts/test-windows.sh
stage "Debian package" debian_package

if ((${#failed[@]})); then
  echo "failed: ${failed[*]}"
fi
exit $status
