#!/usr/bin/env bash
# Builds the server kit's fuzz targets (clang, libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each one: first every checked-in
# corpus file once (the seeds and the inputs of past findings), then new
# inputs for the given number of seconds (default 5). Exits non-zero when
# any target crashes, trips a sanitiser, fails a check, hangs or runs out of
# memory; the input that did it is left in <build>/findings/.
#
#   serverkit/fuzz/run_fuzzers.sh [seconds]
#   ZARNEL_SERVERKIT_FUZZ_BUILD=<dir>   build folder (default: build/serverkit-fuzz)
#   ZARNEL_FUZZ_TARGETS="a b"           run only these targets
set -uo pipefail

seconds="${1:-5}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]]; then
  echo "usage: $0 [seconds]" >&2
  exit 2
fi

here="$(cd "$(dirname "$0")" && pwd)"
build="${ZARNEL_SERVERKIT_FUZZ_BUILD:-$here/../../build/serverkit-fuzz}"
compiler="$(command -v clang++ || command -v clang++-14 || true)"
if [[ -z "$compiler" ]]; then
  echo "run_fuzzers: clang++ not found (Debian: clang libclang-rt-14-dev)" >&2
  exit 2
fi

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S "$here/.." -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER="$compiler" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARNEL_SERVERKIT_FUZZ=ON >/dev/null || exit 2
fi
cmake --build "$build" -j2 >/dev/null || { cmake --build "$build" -j1; exit 2; }

# Longest input per target: a request with a few challenges is a few KiB.
declare -A maxLength=(
  [verify_command_fuzzer]=8192
  [service_request_fuzzer]=8192
  [hard_cheat_report_fuzzer]=512
)
targets=(${ZARNEL_FUZZ_TARGETS:-verify_command_fuzzer service_request_fuzzer hard_cheat_report_fuzzer})

binaries="$build/fuzz"
corpora="$here/corpus"
# shellcheck source=/dev/null
source "$here/../../fuzz/run_targets.sh"
RunFuzzTargets "${targets[@]}"
