#!/bin/sh
# The guard under load, through the shipped DLL in a copy of the sample
# client:
#  1. many failed start-ups in a row (an archive missing), then a successful
#     one, with the process's handle count unchanged by the failures;
#  2. host threads calling the login proof and the hard-cheat exports while
#     the monitor runs, then a shutdown that returns; every proof is then
#     verified by the server kit.
#   load_test.sh <wine-run.sh> <client-dir> <reliability_host.exe> <zarnel-verify>
# ZARNELGUARD_LOAD_STARTUPS (default 100; the full run is 1000),
# ZARNELGUARD_LOAD_SECONDS (default 5; the full run is 60) and
# ZARNELGUARD_LOAD_THREADS (default 8) size the run.
set -u
wine_run=$1
client_dir=$2
host=$3
verify=$4
startups=${ZARNELGUARD_LOAD_STARTUPS:-100}
seconds=${ZARNELGUARD_LOAD_SECONDS:-5}
threads=${ZARNELGUARD_LOAD_THREADS:-8}

copy=$(mktemp -d /tmp/zg-load-client.XXXXXX)
trap 'rm -rf "$copy"' EXIT
cp "$client_dir"/* "$copy"/ && cp "$host" "$copy"/ || exit 1
# A key store of this run's own.
mkdir -p "$copy/ksp"
export ZARNELGUARD_STANDIN_KSP="store=Z:$copy/ksp"
cd "$copy" || exit 1

failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}
value() { printf '%s\n' "$2" | sed -n "s/^$1=//p" | head -n 1; }

# ---- 1. failed start-ups ----
archive=$(ls "$copy"/*.zpk 2>/dev/null | tail -n 1)
[ -n "$archive" ] || { echo "no archive in the sample client"; exit 1; }
timeout 600 "$wine_run" "$copy/reliability_host.exe" failed-startups "$startups" "$(basename "$archive")" > "$copy/out.txt"
output=$(tr -d '\r' < "$copy/out.txt")
echo "$output"
[ "$(value failures "$output")" = "$startups" ] || fail "$(value failures "$output") of $startups start-ups failed"
case "$(value message "$output")" in
  "A required Zarnel client file is missing."*) ;;
  *) fail "start-up message: $(value message "$output")" ;;
esac
[ "$(value same_message "$output")" = 1 ] || fail "the failures did not all give the same message"
[ "$(value handles_after_last "$output")" = "$(value handles_after_first "$output")" ] ||
  fail "handles grew over the failed start-ups: $(value handles_after_first "$output") -> $(value handles_after_last "$output")"
[ "$(value started "$output")" = 1 ] || fail "the start-up after the failures did not succeed: $(value start_message "$output")"
[ "$(value handles_after_shutdown "$output")" = "$(value handles_after_last "$output")" ] ||
  fail "handles after the successful start-up and its shutdown: $(value handles_after_shutdown "$output")"

# ---- 2. threads ----
proofs="$copy/proofs.txt"
timeout $((seconds + 300)) "$wine_run" "$copy/reliability_host.exe" threads "$seconds" "$threads" 'proofs.txt' > "$copy/out.txt"
code=$?
output=$(tr -d '\r' < "$copy/out.txt")
echo "$output"
[ "$code" = 0 ] || fail "threads run ended with $code (124: timed out, 4: the threads did not finish)"
[ "$(value shutdown "$output")" = returned ] || fail "shutdown did not return"
count=$(value proofs "$output")
[ "${count:-0}" -gt 0 ] || fail "no proofs"
[ "$(value failed_proofs "$output")" = 0 ] || fail "$(value failed_proofs "$output") proofs failed: $(value proof_failure "$output")"
[ "$(value acknowledgements "$output")" = 0 ] || fail "an acknowledgement without a detection returned nonzero"
[ "$(value reports_taken "$output")" = 0 ] || fail "a report without a detection"
[ -f "$proofs" ] && lines=$(wc -l < "$proofs") || lines=0
[ "$lines" = "${count:-0}" ] || fail "$lines proof lines for $count proofs"
keys=$(cut -d' ' -f7 "$proofs" | sort -u | wc -l)
[ "$keys" = 1 ] || fail "$keys different device keys in one run"
digests=$(cut -d' ' -f6 "$proofs" | sort -u | wc -l)
[ "$digests" = 1 ] || fail "$digests different machine digests in one run"

rejected=0
verified=0
while read -r id nonce name build kind digest key signature; do
  request=$(printf '{"challenge": {"version": 2, "build": 62, "id": "%s", "nonce": "%s"}, "login_name": "%s", "client_build": %s, "key_kind": %s, "machine_digest": "%s", "public_key": "%s", "signature": "%s"}' \
    "$id" "$nonce" "$name" "$build" "$kind" "$digest" "$key" "$signature")
  if printf '%s' "$request" | "$verify" verify-login-proof | grep -q '"ok":true'; then
    verified=$((verified + 1))
  else
    rejected=$((rejected + 1))
    [ "$rejected" -le 3 ] && echo "rejected: $(printf '%s' "$request" | "$verify" verify-login-proof)"
  fi
done < "$proofs"
echo "server kit: $verified proofs verified, $rejected rejected"
[ "$rejected" = 0 ] || fail "$rejected proofs rejected by the server kit"
[ "$verified" = "${count:-0}" ] || fail "$verified of $count proofs verified"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "load test passed: $startups failed start-ups, $count proofs from $threads threads in $seconds s"
