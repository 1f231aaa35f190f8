#!/bin/sh
# needs-wine.sh PREFIX COMMAND...: runs COMMAND, or reports the test skipped
# (exit 77) when the prefix could not be made on this machine; the reason
# comes from tests/harness/wine-prefix.sh.
prefix=$1
shift
if [ -e "$prefix.unavailable" ]; then
  echo "skipped: $(cat "$prefix.unavailable")"
  exit 77
fi
exec "$@"
