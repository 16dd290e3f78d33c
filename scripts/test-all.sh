#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the Linux sanitizer build, the
# ThreadSanitizer build and the Windows build under Wine.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/install-deps.sh

cmake --preset debug
cmake --build --preset debug
ctest --preset debug

cmake --preset tsan
cmake --build --preset tsan
ctest --preset tsan

bash scripts/test-windows.sh
