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
here="$(cd "$(dirname "$0")" && pwd)"
build="${ZARNEL_SERVERKIT_FUZZ_BUILD:-$here/../../build/serverkit-fuzz}"
# shellcheck source=/dev/null
source "$here/../../fuzz/run_targets.sh"
BuildFuzzTargets "$here/.." \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARNEL_SERVERKIT_FUZZ=ON || exit 2

# Longest input per target: a request with a few challenges is a few KiB.
declare -A maxLength=(
  [verify_command_fuzzer]=8192
  [service_request_fuzzer]=8192
  [hard_cheat_report_fuzzer]=512
)
targets=(${ZARNEL_FUZZ_TARGETS:-verify_command_fuzzer service_request_fuzzer hard_cheat_report_fuzzer})

binaries="$build/fuzz"
corpora="$here/corpus"
RunFuzzTargets "${targets[@]}"
