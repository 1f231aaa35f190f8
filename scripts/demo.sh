#!/usr/bin/env bash
# The demo: builds the guard and its sample client, then runs the client
# under Wine in a private prefix.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh >/dev/null
cmake --preset win32 >/dev/null
cmake --build --preset win32 >/dev/null

export WINEPREFIX="$PWD/build/demo-wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k 2>/dev/null || true' EXIT
wineboot -i </dev/null >/dev/null 2>&1

client=build/win32/client  # the sample client: Zarnel.exe beside its files and the guard
echo "== Zarnel client under Wine ($client) =="
wine "$client/Zarnel.exe" | tr -d '\r'
