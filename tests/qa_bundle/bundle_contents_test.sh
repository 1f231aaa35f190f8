#!/bin/sh
# The QA bundle as `cmake --install --component qa` gives it, into
# WORK/bundle (which the Wine runs then copy): the test programs and the
# sample client with nothing of the build machine's in the runner, no key
# storage provider of any kind, and nothing of it in a plain install.
# Usage: bundle_contents_test.sh CMAKE BUILD_DIR WORK CLIENT_LIST CLIENT_DIR TOOLS64(0|1)
set -u
cmake=$1 build=$2 work=$3 list=$4 client=$5 tools64=$6
bundle=$work/bundle
status=0
fail() {
  echo "qa bundle: $*" >&2
  status=1
}

rm -rf "$work"
mkdir -p "$work"
if ! "$cmake" --install "$build" --component qa --prefix "$bundle" >"$work/install.log" 2>&1; then
  cat "$work/install.log" >&2
  fail "cmake --install --component qa failed"
  exit 1
fi

# A real machine has its own provider; the stand-in must never reach one.
providers=$(find "$bundle" -iname '*ncrypt*')
[ -z "$providers" ] || fail "holds a key storage provider: $providers"

for file in run-tests.cmd client_files.txt bin/guard_e2e_tests.exe bin/qa_report.exe bin/device_key_probe.exe \
            bin/lifecycle_host.exe bin/startup_host.exe bin/checks_probe.exe bin/planted_library.dll \
            bin/ZarnelGuard.dll bin/ZarnelUpdateHelper.exe; do
  [ -f "$bundle/$file" ] || fail "missing $file"
done
if [ "$tools64" = 1 ]; then
  for tool in idle_program versioned_tool debugger_attacher; do
    [ -f "$bundle/bin/x64/$tool.exe" ] || fail "missing bin/x64/$tool.exe"
  done
else
  [ ! -e "$bundle/bin/x64" ] || fail "bin/x64 in a bundle whose programs are all 64-bit"
fi

# client/ is exactly the manifest's files and the guard, the build's bytes.
expected=$( (sed -e 's/\r$//' -e '/^[[:space:]]*#/d' -e '/^[[:space:]]*$/d' "$list"; echo ZarnelGuard.dll) | sort)
actual=$(ls "$bundle/client" | sort)
[ "$expected" = "$actual" ] || fail "client/ holds $(echo $actual), not $(echo $expected)"
for name in $expected; do
  [ -f "$bundle/client/$name" ] && { cmp -s "$client/$name" "$bundle/client/$name" || fail "client/$name differs from the build's"; }
done
cmp -s "$bundle/bin/ZarnelGuard.dll" "$bundle/client/ZarnelGuard.dll" || fail "bin/ and client/ hold different guards"

# cmd finds labels reliably only with CRLF line ends; the runner names no
# path of this machine.
runner=$bundle/run-tests.cmd
if [ -f "$runner" ]; then
  lines=$(tr -cd '\n' <"$runner" | wc -c)
  crlf=$(grep -c "$(printf '\r')\$" "$runner")
  [ "$lines" -gt 0 ] && [ "$lines" = "$crlf" ] || fail "run-tests.cmd: $crlf of $lines lines end with CRLF"
  ! grep -q -e "$build" -e 'Z:' "$runner" || fail "run-tests.cmd names a path of the build machine"
fi

# The studio's install stays what it was.
if ! "$cmake" --install "$build" --prefix "$work/plain" >"$work/plain.log" 2>&1; then
  cat "$work/plain.log" >&2
  fail "plain cmake --install failed"
elif [ -d "$work/plain" ]; then
  leaked=$(find "$work/plain" -name run-tests.cmd -o -name guard_e2e_tests.exe -o -name qa_report.exe \
                                -o -name client_files.txt)
  [ -z "$leaked" ] || fail "a plain install carries the QA bundle: $leaked"
fi
rm -rf "$work/plain"

[ "$status" = 0 ] && echo "qa bundle: $(find "$bundle" -type f | wc -l) files in $bundle"
exit "$status"
