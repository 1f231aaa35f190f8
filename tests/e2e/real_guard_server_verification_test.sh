#!/bin/sh
# The server's half against the real guard: the verification kit (native)
# issues a login challenge and hard-cheat challenges, hard_cheat_host.exe
# answers them through the shipped ZarnelGuard.dll under Wine (a login
# proof, then a report for a real finding: a blocked program holding memory
# access to the client, and in a second client a debugger), and the kit
# must accept every answer, the report's evidence included.
# The real outputs are written to <samples-file> for the kit's native tests
# (ZARNEL_REAL_GUARD_SAMPLES).
#   real_guard_server_verification_test.sh <wine-run.sh> <client-dir> <hard_cheat_host.exe> <zarnel-verify> <samples-file>
# debugger_attacher.exe and idle_program.exe are taken from beside the host.
set -u
wine_run=$1
client_dir=$2
host=$3
verify=$4
samples=$5

rm -f "$samples"
copy=$(mktemp -d /tmp/zg-server-verification.XXXXXX)
# A run that fails half-way can leave the blocked program's copy running,
# where every later scan in this prefix would find it.
trap '"$wine_run" taskkill /F /IM cheatengine-x86_64.exe >/dev/null 2>&1; rm -rf "$copy"' EXIT
bin_dir=$(dirname "$host")
cp "$client_dir"/* "$copy"/ && cp "$host" "$bin_dir/debugger_attacher.exe" "$copy"/ || exit 1
# A hard-cheat row's program name.
cp "$bin_dir/idle_program.exe" "$copy/cheatengine-x86_64.exe" || exit 1

failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

# json_field <name> <json>: a string or number field of the tool's one-line output.
json_field() {
  printf '%s\n' "$2" | sed -n "s/.*\"$1\":\"\{0,1\}\([^\",}]*\)\"\{0,1\}.*/\1/p"
}
challenge_object() {
  printf '%s\n' "$1" | sed 's/.*"challenge":\({[^}]*}\).*/\1/'
}
# issue <command> <build>: a challenge naming <build>, which the backend
# accepts from that build on (a challenge names no build older than the
# oldest one accepted).
issue() {
  "$verify" "$1" <<EOF
{"build": $2, "oldest_client_build": $2}
EOF
}
# value <key> <host output>
value() {
  printf '%s\n' "$2" | sed -n "s/^$1=//p"
}
# run_host <arguments...>: the host's output (CR removed) in $output, its exit code in $status.
run_host() {
  (cd "$copy" && "$wine_run" "$copy/hard_cheat_host.exe" "$@" </dev/null >"$copy/host-output.txt" 2>&1)
  status=$?
  output=$(tr -d '\r' <"$copy/host-output.txt")
}

login=$(issue issue-login-challenge 62)
program_challenge=$(issue issue-hard-cheat-challenge 40)
debugger_challenge=$(issue issue-hard-cheat-challenge 62)
name=real.player
for issued in "$login" "$program_challenge" "$debugger_challenge"; do
  [ "$(json_field ok "$issued")" = true ] || { echo "the kit issued no challenge: $issued"; exit 1; }
done

# 1. A login proof, then a blocked program that opens the client with
#    PROCESS_VM_READ | PROCESS_VM_WRITE; the server accepts the report.
run_host --login 62 "$(json_field id "$login")" "$(json_field nonce "$login")" "$name" \
  --detect program "Z:$copy/cheatengine-x86_64.exe" 30 \
  --challenge 40 "$(json_field id "$program_challenge")" "$(json_field nonce "$program_challenge")" \
  --answer accept
[ "$status" = 13 ] || fail "program run: exit $status, expected 13: $output"
[ "$(value login_proof "$output")" = 1 ] || fail "no login proof: $output"
program_pid=$(value pid "$output")
program_report=$(value report "$output")
login_proof=$output

# 2. A debugger attaches to a second client; the server rejects the report.
run_host --detect debugger \
  --challenge 62 "$(json_field id "$debugger_challenge")" "$(json_field nonce "$debugger_challenge")" \
  --answer reject
[ "$status" = 13 ] || fail "debugger run: exit $status, expected 13: $output"
debugger_pid=$(value pid "$output")
debugger_report=$(value report "$output")

# The server's verdicts.
request=$(printf '{"challenge": %s, "login_name": "%s", "client_build": %s, "key_kind": %s, "machine_digest": "%s", "public_key": "%s", "signature": "%s", "known_public_key": "%s", "expected_client_build": 62}' \
  "$(challenge_object "$login")" "$name" "$(value login_client_build "$login_proof")" \
  "$(value login_key_kind "$login_proof")" "$(value login_machine_digest "$login_proof")" \
  "$(value login_public_key "$login_proof")" "$(value login_signature "$login_proof")" \
  "$(value login_public_key "$login_proof")")
verdict=$("$verify" verify-login-proof <<EOF
$request
EOF
)
if [ "$(json_field ok "$verdict")" = true ]; then
  echo "ok   login proof accepted: $verdict"
else
  fail "login proof: $verdict"
fi

# verify_report <label> <report> <challenge json> <violation> <name> <pid> <access> <expected check>
verify_report() {
  request=$(printf '{"report": "%s", "challenges": [%s], "evidence": {"violation": %s, "name": "%s", "pid": %s, "access": %s}}' \
    "$2" "$(challenge_object "$3")" "$4" "$5" "$6" "$7")
  verdict=$("$verify" verify-hard-cheat-report <<EOF
$request
EOF
)
  check=$(json_field check "$verdict")
  if [ "$check" != "$8" ]; then
    fail "$1: check '$check', expected '$8': $verdict"
  elif [ "$8" = ok ] && { [ "$(json_field evidence_checked "$verdict")" != true ] || [ "$(json_field violation "$verdict")" != "$4" ]; }; then
    fail "$1: evidence not checked or wrong violation: $verdict"
  else
    echo "ok   $1: $verdict"
  fi
}
verify_report "blocked program report" "$program_report" "$program_challenge" 3 AC-PROC-001 "$program_pid" 48 ok
verify_report "debugger report" "$debugger_report" "$debugger_challenge" 1 active-debugger "$debugger_pid" 0 ok
# The evidence binds the report to its process, its access and its finding.
verify_report "another process" "$program_report" "$program_challenge" 3 AC-PROC-001 $((program_pid + 4)) 48 evidence-mismatch
verify_report "another access" "$program_report" "$program_challenge" 3 AC-PROC-001 "$program_pid" 56 evidence-mismatch
verify_report "another finding" "$debugger_report" "$debugger_challenge" 1 AC-PROC-001 "$debugger_pid" 0 evidence-mismatch
# A report answers only the challenge it was signed for.
verify_report "another challenge" "$program_report" "$debugger_challenge" 3 AC-PROC-001 "$program_pid" 48 challenge-mismatch

# The real outputs, for the kit's native tests.
{
  echo "# Outputs of the real ZarnelGuard.dll under Wine ($(date -u +%Y-%m-%dT%H:%M:%SZ))."
  echo "[login]"
  echo "challenge_version=2"
  echo "challenge_build=$(json_field build "$login")"
  echo "challenge_id=$(json_field id "$login")"
  echo "challenge_nonce=$(json_field nonce "$login")"
  echo "login_name=$name"
  for key in client_build key_kind machine_digest public_key signature; do
    echo "$key=$(value "login_$key" "$login_proof")"
  done
  for which in program debugger; do
    if [ "$which" = program ]; then
      challenge=$program_challenge report=$program_report pid=$program_pid
      violation=3 evidence_name=AC-PROC-001 access=00000030
    else
      challenge=$debugger_challenge report=$debugger_report pid=$debugger_pid
      violation=1 evidence_name=active-debugger access=00000000
    fi
    echo
    echo "[hard-cheat-$which]"
    echo "challenge_version=1"
    echo "challenge_build=$(json_field build "$challenge")"
    echo "challenge_id=$(json_field id "$challenge")"
    echo "challenge_nonce=$(json_field nonce "$challenge")"
    echo "report=$report"
    echo "evidence_violation=$violation"
    echo "evidence_name=$evidence_name"
    echo "evidence_pid=$pid"
    echo "evidence_access=$access"
  done
} > "$samples.part" && mv "$samples.part" "$samples"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "the server kit accepted the real guard's proof and reports; samples in $samples"
