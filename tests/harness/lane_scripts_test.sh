#!/bin/sh
# Every lane's generated wine-run script parses under /bin/sh (dash on
# Debian). A lane that cannot run on this machine (no 32-bit code) would
# otherwise carry a broken script unseen until a machine that can run it.
# Usage: lane_scripts_test.sh <script>...
status=0
for script in "$@"; do
  if ! sh -n "$script"; then
    echo "does not parse: $script" >&2
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "parsed: $*"
exit "$status"
