#!/bin/sh
# qa_report.exe, which turns a QA run's JUnit XML into the lines QA reads
# and the runner's exit code, on the reports that a run can leave: a clean
# one, failures and skips, a failed or missing device key case, a test
# program that ended non-zero after a complete report, and none or half a
# report after a crash (then a report with one failed case takes its place).
# Usage: qa_report_test.sh WINE_RUN QA_REPORT_EXE WORK
set -u
run=$1 exe=$2 work=$3
rm -rf "$work"
mkdir -p "$work"
command -v xmllint >/dev/null || { echo "qa_report: xmllint (libxml2-utils) is needed" >&2; exit 1; }
status=0

head='<?xml version="1.0" encoding="UTF-8"?>
<testsuites tests="3" failures="0" disabled="0" errors="0" time="1" timestamp="2026-01-01T00:00:00" name="AllTests">'
tail='</testsuites>'
key_passed='  <testsuite name="DeviceKeyOfThisMachine" tests="1" failures="0" disabled="0" skipped="0" errors="0">
    <testcase name="OpensAndASecondProcessOpensTheSameKey" file="k.cpp" line="1" status="run" result="completed" time="0.5" timestamp="2026-01-01T00:00:00" classname="DeviceKeyOfThisMachine">
      <properties>
        <property name="device_key_kind" value="KIND"/>
        <property name="device_key_provider" value="platform"/>
      </properties>
    </testcase>
  </testsuite>'
key_failed='  <testsuite name="DeviceKeyOfThisMachine" tests="1" failures="1" disabled="0" skipped="0" errors="0">
    <testcase name="OpensAndASecondProcessOpensTheSameKey" file="k.cpp" line="1" status="run" result="completed" time="0.5" timestamp="2026-01-01T00:00:00" classname="DeviceKeyOfThisMachine">
      <failure message="k.cpp:9&#x0A;the second process did not open the same key" type=""><![CDATA[k.cpp:9]]></failure>
      <properties>
        <property name="device_key_kind" value="1"/>
      </properties>
    </testcase>
  </testsuite>'
passed='    <testcase name="Passes" file="a.cpp" line="1" status="run" result="completed" time="0" timestamp="2026-01-01T00:00:00" classname="Other" />'
failed='    <testcase name="Fails" file="a.cpp" line="2" status="run" result="completed" time="0" timestamp="2026-01-01T00:00:00" classname="Other">
      <failure message="a.cpp:2&#x0A;Expected equality &lt;a&gt;" type=""><![CDATA[a.cpp:2 <a>]]></failure>
    </testcase>'
skipped='    <testcase name="Skips" file="a.cpp" line="3" status="run" result="skipped" time="0" timestamp="2026-01-01T00:00:00" classname="Other">
      <skipped message="a.cpp:3&#x0A;needs a sample client"><![CDATA[a.cpp:3]]></skipped>
    </testcase>'
other() { printf '  <testsuite name="Other">\n%s\n  </testsuite>' "$*"; }

# name | report ("-" for none) | exit code of the test program | expected exit | first line | last line
check() {
  name=$1 report=$2 code=$3 want_exit=$4 want_first=$5 want_last=$6
  xml="$work/$name.xml"
  [ "$report" = - ] || printf '%s\n' "$report" >"$xml"
  "$run" "$exe" "Z:$xml" "$code" >"$work/$name.out" 2>&1
  got_exit=$?
  first=$(tr -d '\r' <"$work/$name.out" | head -n 1)
  last=$(tr -d '\r' <"$work/$name.out" | tail -n 1)
  if [ "$got_exit" != "$want_exit" ] || [ "$first" != "$want_first" ] || [ "$last" != "$want_last" ]; then
    echo "qa_report $name: exit $got_exit, '$first' ... '$last'; expected exit $want_exit, '$want_first' ... '$want_last'" >&2
    status=1
  fi
}

check clean "$head
$(echo "$key_passed" | sed 's/KIND/2/')
$(other "$passed")
$tail" 0 0 \
  'device key kind 2: software provider; a second process opened the same key' '2 passed, 0 failed, 0 skipped'

check failures_and_skips "$head
$(echo "$key_passed" | sed 's/KIND/1/')
$(other "$passed
$failed
$skipped")
$tail" 1 1 \
  'device key kind 1: platform provider; a second process opened the same key' '2 passed, 1 failed, 1 skipped'

check key_failed "$head
$key_failed
$(other "$passed")
$tail" 1 1 \
  "device key kind 1: FAILED (DeviceKeyOfThisMachine in Z:$work/key_failed.xml)" '1 passed, 1 failed, 0 skipped'

check no_key_case "$head
$(other "$passed")
$tail" 0 1 \
  'device key: not checked (no DeviceKeyOfThisMachine case ran)' '1 passed, 0 failed, 0 skipped'

check nonzero_after_a_complete_report "$head
$(echo "$key_passed" | sed 's/KIND/1/')
$tail" 3 1 \
  'device key kind 1: platform provider; a second process opened the same key' '1 passed, 0 failed, 0 skipped'
tr -d '\r' <"$work/nonzero_after_a_complete_report.out" | grep -qx 'guard_e2e_tests.exe ended with exit code 3' ||
  { echo "qa_report: the exit code of a run without failures is not shown" >&2; status=1; }

# An access violation: %ERRORLEVEL% hands over 0xC0000005 as a negative number.
check no_report - -1073741819 1 \
  'device key: not checked (guard_e2e_tests.exe ended with exit code 0xC0000005 without a complete report)' \
  '0 passed, 1 failed, 0 skipped'
check cut_off_report "$head
$(other "$passed")" 3 1 \
  'device key: not checked (guard_e2e_tests.exe ended with exit code 3 without a complete report)' \
  '0 passed, 1 failed, 0 skipped'
[ -f "$work/cut_off_report.xml.incomplete" ] || { echo "qa_report: the cut-off report was not kept" >&2; status=1; }
for name in no_report cut_off_report; do
  xml="$work/$name.xml"
  if ! xmllint --noout "$xml" 2>/dev/null ||
     [ "$(xmllint --xpath 'count(//testcase[failure])' "$xml")" != 1 ] ||
     [ "$(xmllint --xpath 'string(/testsuites/@failures)' "$xml")" != 1 ]; then
    echo "qa_report $name: the report written in place of the missing one is not one failed case" >&2
    status=1
  fi
done

[ "$status" = 0 ] && echo "qa_report: 7 reports read as expected"
exit "$status"
