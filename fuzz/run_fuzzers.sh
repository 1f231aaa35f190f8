#!/usr/bin/env bash
# Builds the native fuzz targets (clang, libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each one: first every checked-in
# corpus file once (the seeds and the inputs of past findings), then new
# inputs for the given number of seconds (default 5). Exits non-zero when
# any target crashes, trips a sanitiser, fails a check, hangs or runs out of
# memory; the input that did it is left in <build>/findings/.
#
#   fuzz/run_fuzzers.sh [seconds]
#   ZARNEL_FUZZ_BUILD=<dir>   build folder (default: build/fuzz in the repo)
#   ZARNEL_FUZZ_TARGETS="a b" run only these targets
set -uo pipefail

seconds="${1:-5}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]]; then
  echo "usage: $0 [seconds]" >&2
  exit 2
fi

here="$(cd "$(dirname "$0")" && pwd)"
build="${ZARNEL_FUZZ_BUILD:-$here/../build/fuzz}"
compiler="$(command -v clang++ || command -v clang++-14 || true)"
if [[ -z "$compiler" ]]; then
  echo "run_fuzzers: clang++ not found (Debian: clang libclang-rt-14-dev)" >&2
  exit 2
fi

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S "$here" -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER="$compiler" >/dev/null || exit 2
fi
cmake --build "$build" -j2 >/dev/null || { cmake --build "$build" -j1; exit 2; }

# Longest input per target: a few firmware structures, a few hundred units.
declare -A maxLength=(
  [smbios_table_fuzzer]=4096
  [identity_value_fuzzer]=1200
  [identity_text_fuzzer]=8192
  [evidence_name_fuzzer]=1024
  [client_paths_fuzzer]=1024
)
targets=(${ZARNEL_FUZZ_TARGETS:-smbios_table_fuzzer identity_value_fuzzer identity_text_fuzzer evidence_name_fuzzer client_paths_fuzzer})

binaries="$build"
corpora="$here/corpus"
# shellcheck source=/dev/null
source "$here/run_targets.sh"
RunFuzzTargets "${targets[@]}"
