#!/usr/bin/env bash
# Runs one Windows program under Wine with the project's private prefix (see scripts/wine-env.sh).
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/wine-env.sh"
exec wine "$@"
