#!/usr/bin/env bash
# The shipped DLL in a copy of the sample client, under Wine, with the
# stand-in key provider: start-up to signed login proof (each run a fresh
# process: the cold case), repeated proofs in one process, the start-up's
# peak memory, and the monitor thread's CPU time over MONITOR_SECONDS with
# PROCESSES idle programs beside it.
#   benchmarks/run_startup_benchmark.sh [COLD_RUNS=40] [REPEATS=200] [MONITOR_SECONDS=60] [PROCESSES=100] [BUILD_DIR=build/benchmark]
# Prints "key=value" lines; the run_all.sh report reads them.
set -euo pipefail
cd "$(dirname "$0")/.."
cold_runs=${1:-40}
repeats=${2:-200}
monitor_seconds=${3:-60}
processes=${4:-100}
build=$(realpath -m "${5:-build/benchmark}")

# The start-up verifies every archive: a small sample client keeps this
# benchmark about the guard's own work (run_archive_benchmark.sh measures
# the archives' share).
cmake --preset win32 -B "$build" -DBUILD_TESTING=OFF -DZARNELGUARD_SAMPLE_ARCHIVE_MIB=3 >/dev/null
cmake --build "$build" --target guard_startup_benchmark ZarnelSampleClient zarnelguard_standin_ksp -j2 >/dev/null

work="$build/startup-benchmark"
rm -rf "$work"
mkdir -p "$work/client" "$work/ksp"
cp "$build/client/"* "$work/client/"
cp "$build/bin/guard_startup_benchmark.exe" "$work/client/"
host="$work/client/guard_startup_benchmark.exe"

export WINEPREFIX="$build/wineprefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;ncrypt=n,b"
# A key store of this run's own: the first run creates the device key.
export ZARNELGUARD_STANDIN_KSP="store=Z:$work/ksp"
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k 2>/dev/null || true' EXIT
wineboot -i </dev/null >/dev/null 2>&1
cp "$build/standins/ncrypt.dll" "$WINEPREFIX/drive_c/windows/system32/ncrypt.dll"
server_pid=0
for pid in $(pgrep -u "$(id -u)" '^wineserver'); do
  if tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qx "WINEPREFIX=$WINEPREFIX"; then server_pid=$pid; fi
done

# run_host OUTPUT ARGS...: the host's "key=value" lines into OUTPUT; stops
# the benchmark with the host's output when it fails.
run_host() {
  local output=$1 code=0
  shift
  (cd "$work/client" && wine "$host" "$@") >"$output.raw" || code=$?
  tr -d '\r' <"$output.raw" >"$output"
  if [ "$code" != 0 ] || grep -q '^error=' "$output"; then
    echo "guard_startup_benchmark $* failed (exit code $code):"
    cat "$output"
    exit 1
  fi
}
value() { sed -n "s/^$1=//p" "$2" | head -n 1; }
# median p10 p90 min max of the numbers on standard input
spread() {
  sort -g | awk '{v[NR] = $1} END {
    if (NR == 0) { print "none"; exit }
    printf "%.3f %.3f %.3f %.3f %.3f\n", v[int(0.5 * (NR - 1) + 1.5)], v[int(0.1 * (NR - 1) + 1.5)],
           v[int(0.9 * (NR - 1) + 1.5)], v[1], v[NR] }'
}

# The first start on this machine creates the device key.
run_host "$work/first.txt" proof 0
echo "first_run_initialize_ms=$(value initialize_ms "$work/first.txt")"
echo "first_run_initialize_to_first_proof_ms=$(value initialize_to_first_proof_ms "$work/first.txt")"

: >"$work/cold.txt"
for ((i = 1; i <= cold_runs; i++)); do
  run_host "$work/run.txt" proof 0
  cat "$work/run.txt" >>"$work/cold.txt"
done
echo "cold_runs=$cold_runs"
for key in load_ms initialize_ms first_proof_ms initialize_to_first_proof_ms; do
  echo "cold_${key%_ms}_spread_ms=$(sed -n "s/^$key=//p" "$work/cold.txt" | spread)"
done

# Repeated proofs, and the memory counters, in one more process.
run_host "$work/warm.txt" proof "$repeats"
grep -E '^(repeat_proof|mem_)' "$work/warm.txt"

if ((monitor_seconds > 0)); then
  run_host "$work/monitor.txt" monitor "$monitor_seconds" "$processes" "$server_pid"
  sed 's/^/monitor_/' "$work/monitor.txt"
fi
