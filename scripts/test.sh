#!/usr/bin/env bash
# Every test: set-up, the cross build with its tests under Wine, and the
# server verification kit's native tests (its Redis and service tests start
# their own redis-server and service on free local ports).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

cmake --preset win32
cmake --build --preset win32
status=0
ctest --preset win32 || status=1
# A kernel that cannot run 32-bit code cannot run the guard under Wine: the
# Wine lanes then report themselves skipped, and this says why, loudly.
for prefix in build/win32/wineprefix build/win32/wineprefix64; do
  if [[ -e "$prefix.unavailable" ]]; then
    echo "test: the Wine lane of $prefix was SKIPPED: $(cat "$prefix.unavailable")" >&2
  fi
done

# The same code and tests built as 64-bit programs and run in a 64-bit
# prefix: needs no 32-bit code, so the guard's tests run on every x86-64
# machine (and pointer-width faults show), even where the lanes above skip.
cmake --preset win64-check
cmake --build --preset win64-check
ctest --preset win64-check || status=1

# A short run of every fuzz target (natively, sanitizers on) over the
# checked-in corpus and a few seconds of new inputs.
bash fuzz/run_fuzzers.sh "${ZARNELGUARD_FUZZ_SECONDS:-5}" || status=1
bash serverkit/fuzz/run_fuzzers.sh "${ZARNELGUARD_FUZZ_SECONDS:-5}" || status=1

cmake -S serverkit -B build/serverkit -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build/serverkit
ctest --test-dir build/serverkit --output-on-failure || status=1

exit $status
