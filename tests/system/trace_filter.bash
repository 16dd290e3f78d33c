#!/usr/bin/env bash
# Reduces a trace of skyhelm-sim (standard input) to what a person or the driver would see, the
# same on every run: the output requests (clutch text and mode, profile load, activate and clear,
# shift indicator, display strings). Dropped: sequence numbers, the raw input bytes, handle opens
# and closes, queries and waits (the threads of a session race with the session's own work). A
# request repeated at once with the same fields changes nothing that shows and is kept once: a
# session's profile thread may or may not have issued its wait before the session changed the
# profile, so its shift indicator request may or may not precede the same one sent by the next
# session.
set -euo pipefail
grep -E '"code":"IOCTL_(SET_CLUTCH_TEXT|SET_CLUTCH_MODE|PROFILE_LOAD|PROFILE_ACTIVATE|PROFILE_CLEAR|SET_SHIFT_INDICATOR|SET_STRING)"' |
  sed -E -e 's/^\{"seq":[0-9]+,/{/' -e 's/,"in":"[0-9A-Fa-f]*"\}$/}/' |
  uniq || true
