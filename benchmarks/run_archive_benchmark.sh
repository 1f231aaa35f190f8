#!/usr/bin/env bash
# Archive verification throughput: builds the guard with a sample client of
# ARCHIVE_MIB MiB of archives (default 2048), then measures, in one run under
# Wine, the guard's archive verification against raw CryptoAPI SHA-256 of the
# same files, and sha256sum on the build machine for scale. Warm page cache
# first; then once cold if the caches can be dropped (root only). The build
# directory holds ARCHIVE_MIB of archives: keep it apart from the other
# benchmarks' (whose start-ups would verify them all).
#   benchmarks/run_archive_benchmark.sh [ARCHIVE_MIB] [BUILD_DIR=build/benchmark-archives] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-2048}
build=$(realpath -m "${2:-build/benchmark-archives}")
rounds=${3:-2}

cmake --preset win32 -B "$build" -DBUILD_TESTING=OFF -DZARNELGUARD_SAMPLE_ARCHIVE_MIB="$mib" >/dev/null
cmake --build "$build" --target archive_throughput ZarnelSampleClient -j2 >/dev/null

export WINEPREFIX="$build/wineprefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k 2>/dev/null || true' EXIT
wineboot -i </dev/null >/dev/null 2>&1

client="$build/client"
mapfile -t archives < <(grep -v '^#' sample_client/client_files.txt | sed '/^[[:space:]]*$/d' | tail -n 17)
paths=("${archives[@]/#/$client/}")
bytes=$(stat -c %s "${paths[@]}" | awk '{s += $1} END {print s}')
program=(wine "$build/bin/archive_throughput.exe" "Z:$client")

sha256sum_rate() {
  local start end
  start=$(date +%s.%N)
  sha256sum "${paths[@]}" >/dev/null
  end=$(date +%s.%N)
  awk -v b="$bytes" -v s="$start" -v e="$end" 'BEGIN {printf "%.1f MB/s (%.2f s)", b / 1e6 / (e - s), e - s}'
}

cat "${paths[@]}" >/dev/null  # into the page cache
echo "== warm page cache: $(awk -v b="$bytes" 'BEGIN {printf "%.2f GB", b / 1e9}') in 17 archives =="
"${program[@]}" "$rounds" both | tr -d '\r'
echo "sha256sum (build machine, same files): $(sha256sum_rate)"

drop_caches() { sync && echo 3 >/proc/sys/vm/drop_caches 2>/dev/null; }
if drop_caches; then
  echo "== cold: caches dropped before each run =="
  drop_caches; "${program[@]}" 1 guard | tr -d '\r' | grep '^round'
  drop_caches; "${program[@]}" 1 raw | tr -d '\r' | grep '^round'
  drop_caches; echo "sha256sum cold: $(sha256sum_rate)"
else
  echo "== cold: not measured (cannot drop the page cache here) =="
fi
