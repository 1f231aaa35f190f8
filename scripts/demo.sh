#!/usr/bin/env bash
# The demo: the guarded life of the sample client under Wine. The server
# side (the kit's verification service, native, with its in-memory store)
# issues a login challenge; the client starts the guard, answers the
# challenge with a login proof and shuts the guard down; the service
# verifies the proof and takes the challenge out, so a replay is refused.
#   bash scripts/demo.sh                  the normal life
#   bash scripts/demo.sh --cheat          the same with a blocked program running:
#                                         the guard ends the client (exit code 13)
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-}

echo "== building (first run: installs the toolchain and Wine, a few minutes) =="
bash scripts/setup.sh >/dev/null
cmake --preset win32 >/dev/null
cmake --build --preset win32 >/dev/null
cmake -S serverkit -B build/serverkit -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/serverkit >/dev/null
verify=build/serverkit/tool/zarnel-verify

# A 32-bit prefix, named explicitly: with wine64 installed a new prefix is
# otherwise 64-bit.
export WINEPREFIX="$PWD/build/demo-wineprefix" WINEARCH=win32 WINEDEBUG=-all
# The stand-in key storage provider in the prefix's system directory takes
# the place of Wine's, which cannot keep keys.
export WINEDLLOVERRIDES="mscoree,mshtml=;ncrypt=n,b"
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1 || true
cheat_pid=
service_pid=
service_output=$(mktemp)
cleanup() {
  [[ -n "$cheat_pid" ]] && kill "$cheat_pid" 2>/dev/null
  [[ -n "$service_pid" ]] && kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null
  rm -f "$service_output"
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
wineboot -i </dev/null >/dev/null 2>&1
# Where Windows keeps its provider, the only place the guard loads it from.
cp build/win32/standins/ncrypt.dll "$WINEPREFIX/drive_c/windows/system32/ncrypt.dll"

client=build/win32/client
rm -f "$client"/ZarnelUpdateHelper.record-*.txt

if [[ "$mode" == "--cheat" ]]; then
  # A test program of the project under a blocked program's name.
  mkdir -p build/demo-cheat
  cp build/win32/bin/idle_program.exe build/demo-cheat/cheatengine-x86_64.exe
  wine build/demo-cheat/cheatengine-x86_64.exe ZarnelDemoCheatReady </dev/null >/dev/null 2>&1 &
  cheat_pid=$!
  sleep 1
  echo "== a blocked program runs: cheatengine-x86_64.exe =="
fi

# The verification service on a free local port; it says where it listens.
"$verify" serve --listen 127.0.0.1:0 --store memory >"$service_output" &
service_pid=$!
for _ in $(seq 100); do grep -q listening "$service_output" && break; sleep 0.1; done
address=$(sed -n 's/.*"listening":"\([^"]*\)".*/\1/p' "$service_output")
[[ -n "$address" ]] || { echo "demo: the verification service did not start" >&2; exit 1; }
post() { curl -s -X POST -H 'Content-Type: application/json' --data-binary "$2" "http://$address$1"; }
echo "== server: verification service on $address (in-memory store) =="

session="demo-session-$$"
challenge=$(post /v1/login-challenges "{\"session\": \"$session\", \"build\": 62}")
field() { sed -n "s/.*\"$1\":\"\\{0,1\\}\([0-9a-f]*\)\"\\{0,1\\}.*/\1/p" <<<"$2"; }
id=$(field id "$challenge")
nonce=$(field nonce "$challenge")
[[ -n "$id" && -n "$nonce" ]] || { echo "demo: no challenge from the service: $challenge" >&2; exit 1; }
name="demo.player"
echo "== server: login challenge id $id for session $session =="

echo "== client: $client/Zarnel.exe under Wine =="
set +e
output=$(wine "$client/Zarnel.exe" --login 62 "$id" "$nonce" "$name" </dev/null | tr -d '\r')
status=$?
set -e
grep -v '^proof\.' <<<"$output" | sed 's/^/   /'
if [[ $status -ne 0 ]]; then
  echo "== client ended with exit code $status =="
  sleep 1
  for record in "$client"/ZarnelUpdateHelper.record-*.txt; do
    [[ -e "$record" ]] && echo "   error helper started with: $(grep '^command_line=' "$record" | cut -d= -f2-)"
  done
  rm -f "$client"/ZarnelUpdateHelper.record-*.txt
  exit 0
fi

value() { sed -n "s/^proof\.$1=//p" <<<"$output"; }
request=$(printf '{"session": "%s", "challenge_id": "%s", "login_name": "%s", "client_build": %s, "key_kind": %s, "machine_digest": "%s", "public_key": "%s", "signature": "%s"}' \
  "$session" "$id" "$name" "$(value client_build)" "$(value key_kind)" \
  "$(value machine_digest)" "$(value public_key)" "$(value signature)")
echo "== server: verifying the login proof =="
verdict=$(post /v1/login-proofs "$request")
echo "   $verdict"
grep -q '"ok":true' <<<"$verdict" || { echo "demo: the server rejected the proof" >&2; exit 1; }
replay=$(post /v1/login-proofs "$request")
echo "== server: the same proof sent again: $(sed -n 's/.*"check":"\([^"]*\)".*/\1/p' <<<"$replay") =="
grep -q '"check":"challenge-used"' <<<"$replay" || { echo "demo: the replay was not refused" >&2; exit 1; }
echo "== done: the proof was accepted. Try 'bash scripts/demo.sh --cheat' to see a blocked program end the client. =="
