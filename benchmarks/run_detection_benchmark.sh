#!/usr/bin/env bash
# Detection checks under load: builds the benchmark, starts it under Wine
# with PROCESSES idle programs beside it (default 100), and prints the
# median wall time and mean CPU time of one quick program scan, one full
# program scan, one debugger check plus module scan and one virtual-machine
# check over RUNS runs each (default 200), with the wineserver's CPU share.
#   benchmarks/run_detection_benchmark.sh [PROCESSES] [RUNS] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
processes=${1:-100}
runs=${2:-200}
build=$(realpath -m "${3:-build/benchmark}")

cmake --preset win32 -B "$build" -DBUILD_TESTING=OFF -DZARNELGUARD_SAMPLE_ARCHIVE_MIB=3 >/dev/null
cmake --build "$build" --target detection_checks_benchmark -j2 >/dev/null

export WINEPREFIX="$build/wineprefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k 2>/dev/null || true' EXIT
wineboot -i </dev/null >/dev/null 2>&1
# The server of this prefix (other prefixes may have servers of their own).
server_pid=0
for pid in $(pgrep -u "$(id -u)" '^wineserver'); do
  if tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qx "WINEPREFIX=$WINEPREFIX"; then server_pid=$pid; fi
done
echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
wine "$build/bin/detection_checks_benchmark.exe" "$processes" "$runs" "$server_pid" | tr -d '\r'
