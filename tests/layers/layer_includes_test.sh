#!/bin/sh
# layer_includes_test.sh BUILD_DIR TARGET|HEADER|EXPECTED...
# Builds each probe target; "refused" expects the build to fail because the
# header cannot be found from that layer, "compiles" expects it to build.
set -u
build=$1
shift
failures=0
for case in "$@"; do
  target=${case%%|*}
  rest=${case#*|}
  header=${rest%%|*}
  expected=${rest#*|}
  output=$(cmake --build "$build" --target "$target" 2>&1)
  status=$?
  case "$expected" in
    refused)
      if [ "$status" -eq 0 ]; then
        echo "FAIL: $target: including $header compiled"; failures=$((failures + 1))
      elif echo "$output" | grep -qF "'$header' file not found"; then
        echo "ok: $target: $header is out of reach"
      else
        echo "FAIL: $target failed for another reason:"; echo "$output"; failures=$((failures + 1))
      fi ;;
    compiles)
      if [ "$status" -eq 0 ]; then
        echo "ok: $target: $header compiles"
      else
        echo "FAIL: $target: including $header did not compile:"; echo "$output"; failures=$((failures + 1))
      fi ;;
  esac
done
[ "$failures" -eq 0 ]
