# Shared start of the skyhelm-doc system tests (sourced, not run): arguments, a work folder
# removed at exit, fail, and document.
set -euo pipefail
build="$1"
source="$2"
doc="$build/skyhelm-doc"
data="$source/data"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# Writes UTF-8 text (argument 2) as a UTF-16LE document with a byte order mark (argument 1).
document() { python3 -c 'import sys; open(sys.argv[1], "wb").write(b"\xff\xfe" + sys.argv[2].encode("utf-16-le", "surrogatepass"))' "$1" "$2"; }
