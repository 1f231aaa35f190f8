#!/bin/sh
# run-tests.cmd of the QA bundle, run the way QA runs it on Windows but by
# Wine's cmd: from a copy in a folder of the prefix's C: drive whose name
# holds a space, with the stand-in key storage provider in the prefix's
# system directory (the prefix fixture put it there) in place of the
# machine's own. Then what QA reads is checked: the exit code, the summary
# line, the device key line and the JUnit XML (it parses, no case failed,
# the device key case ran with its kind, the cases left out on Windows are
# absent).
# First a control: the bundle's test program takes the sample client from
# where the runner says, not from the build path compiled into it, which
# Wine can still reach and a Windows machine cannot.
# Usage: qa_bundle_test.sh WINE_RUN PREFIX BUNDLE WORK
set -u
run=$1 prefix=$2 bundle=$3 work=$4
if [ -e "$prefix.unavailable" ]; then
  echo "skipped: $(cat "$prefix.unavailable")"
  exit 77
fi
command -v xmllint >/dev/null || { echo "qa bundle run: xmllint (libxml2-utils) is needed to read the report" >&2; exit 1; }

folder='ZarnelGuard QA'
copy="$prefix/drive_c/$folder"
windows="C:\\$folder"
rm -rf "$copy" "$work"
mkdir -p "$work"
cp -R "$bundle" "$copy" || exit 1

status=0
fail() {
  echo "qa bundle run: $*" >&2
  status=1
}
xpath() { xmllint --xpath "$1" "$2" 2>/dev/null; }
nowhere='C:\no sample client here\'

# The control: pointed nowhere, the cases that need the sample client fail.
ZARNELGUARD_SAMPLE_CLIENT_DIR=$nowhere ZARNELGUARD_SAMPLE_CLIENT_LIST="${nowhere}client_files.txt" \
  "$run" "$windows\\bin\\guard_e2e_tests.exe" \
  --gtest_filter=DllInterface.LifecycleInAFreshHostProcess:SampleClientFiles.ACorrectClientsFilesAreHeldUntilShutdown \
  "--gtest_output=xml:$windows\\control.xml" >"$work/control.txt" 2>&1
control=$?
[ "$control" = 77 ] && { cat "$work/control.txt"; exit 77; }
if [ "$control" = 0 ] || [ "$(xpath 'string(/testsuites/@failures)' "$copy/control.xml")" != 2 ]; then
  fail "the test program ignored ZARNELGUARD_SAMPLE_CLIENT_DIR/_LIST (exit $control; $work/control.txt)"
fi

# The run. The variables the runner sets hold wrong values beforehand, so
# that only its own choices can pass (wine-run.sh leaves a set tool folder
# as it is).
export ZARNELGUARD_SAMPLE_CLIENT_DIR="$nowhere" ZARNELGUARD_SAMPLE_CLIENT_LIST="${nowhere}client_files.txt"
export ZARNELGUARD_TOOL_SUBDIR='no tools here\'
"$run" cmd /c "$windows\\run-tests.cmd" >"$work/output.txt" 2>&1
code=$?
[ "$code" = 77 ] && { cat "$work/output.txt"; exit 77; }
results="$copy/results"
cp "$results/junit.xml" "$results/summary.txt" "$work/" 2>/dev/null
[ "$code" = 0 ] || fail "run-tests.cmd ended with $code ($work/output.txt)"

summary=$(tr -d '\r' <"$work/summary.txt" 2>/dev/null | tail -n 1)
echo "$summary" | grep -Eq '^[1-9][0-9]* passed, 0 failed, [0-9]+ skipped$' || fail "summary line: '$summary'"
shown=$(tr -d '\r' <"$work/output.txt" | sed '/^[[:space:]]*$/d' | tail -n 1)
[ "$shown" = "$summary" ] || fail "the console's last line '$shown' is not the summary"
# The stand-in's platform provider works unless a test says otherwise.
tr -d '\r' <"$work/output.txt" | grep -qx 'device key kind 1: platform provider; a second process opened the same key' ||
  fail "no device key line for kind 1 in $work/output.txt"

xml=$work/junit.xml
if ! xmllint --noout "$xml"; then
  fail "the JUnit XML does not parse"
else
  [ "$(xpath 'string(/testsuites/@failures)' "$xml")" = 0 ] || fail "the report counts failures"
  [ "$(xpath 'count(//testcase[failure])' "$xml")" = 0 ] || fail "a case in the report failed"
  key='//testcase[@classname="DeviceKeyOfThisMachine" and @name="OpensAndASecondProcessOpensTheSameKey"]'
  [ "$(xpath "count($key[@result=\"completed\"])" "$xml")" = 1 ] || fail "the device key case did not run"
  [ "$(xpath "string($key//property[@name=\"device_key_kind\"]/@value)" "$xml")" = 1 ] ||
    fail "the device key case carries no kind 1"
  # Under Wine the key must have come from the provider in the system
  # directory, the stand-in; on Windows this property is 0.
  [ "$(xpath "string($key//property[@name=\"device_key_stand_in\"]/@value)" "$xml")" = 1 ] ||
    fail "the device key did not come from the provider in the system directory"
  # What the bundle is for runs there: the suites that start the client
  # from the bundle's copy, plant libraries beside it, sign proofs and
  # reports, and check the lane's architectures.
  for suite in DllInterface SampleClientFiles DamagedSampleClient LibraryPlanting StartupFromOutside \
               HardCheatExchangeFromOutside FatalExitFromOutside TestLane; do
    [ "$(xpath "count(//testcase[contains(@classname, \"$suite\") and @result=\"completed\"])" "$xml")" -gt 0 ] ||
      fail "no case of $suite ran"
  done
  for suite in DeviceKeyWithoutStandIn DeviceKeyAcrossProcesses MachineIdentityDigest; do
    [ "$(xpath "count(//testcase[contains(@classname, \"$suite\")])" "$xml")" = 0 ] || fail "$suite ran on the bundle"
  done
  [ "$(xpath 'count(//testcase[@name="AClientReachedThroughASymbolicLinkResolvesOutsideItsPath"])' "$xml")" = 0 ] ||
    fail "the symbolic-link case ran on the bundle"
  [ "$(xpath 'count(//skipped[contains(@message, "no sample client")])' "$xml")" = 0 ] ||
    fail "cases skipped for want of the sample client"
fi

if [ "$status" = 0 ]; then
  echo "qa bundle run: $summary; report $xml"
else
  tail -n 40 "$work/output.txt" >&2
fi
exit "$status"
