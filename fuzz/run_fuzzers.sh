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
here="$(cd "$(dirname "$0")" && pwd)"
build="${ZARNEL_FUZZ_BUILD:-$here/../build/fuzz}"
# shellcheck source=/dev/null
source "$here/run_targets.sh"
BuildFuzzTargets "$here" || exit 2

# Longest input per target: a few firmware structures, a few hundred units.
declare -A maxLength=(
  [smbios_table_fuzzer]=4096
  [identity_value_fuzzer]=1200
  [identity_text_fuzzer]=8192
  [evidence_name_fuzzer]=1024
  [path_text_fuzzer]=1024
)
targets=(${ZARNEL_FUZZ_TARGETS:-smbios_table_fuzzer identity_value_fuzzer identity_text_fuzzer evidence_name_fuzzer path_text_fuzzer})

binaries="$build"
corpora="$here/corpus"
RunFuzzTargets "${targets[@]}"
