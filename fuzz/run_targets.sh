# Sourced by fuzz/run_fuzzers.sh and serverkit/fuzz/run_fuzzers.sh: runs
# each built libFuzzer target, first over every checked-in corpus file once
# (the seeds and the inputs of past findings: a fixed finding must stay
# fixed), then on new inputs for a number of seconds. The caller sets
#   build       the build folder (findings go to <build>/findings/)
#   binaries    the folder the targets were built into
#   corpora     the folder of checked-in corpora, one subfolder per target
#   seconds     how long to fuzz each target (0: the corpus only)
#   maxLength   an associative array: longest input per target
# and calls BuildFuzzTargets, then RunFuzzTargets with the target names;
# the latter returns non-zero when any target crashed, tripped a sanitiser,
# failed a check, hung or ran out of memory.

# BuildFuzzTargets SOURCE_DIR [CMAKE_ARGUMENTS...]: checks `seconds`,
# configures <build> with clang once and builds it. Non-zero (2) on bad
# usage, a missing clang or a failed build.
BuildFuzzTargets() {
  local source=$1
  shift
  if ! [[ "$seconds" =~ ^[0-9]+$ ]]; then
    echo "usage: $0 [seconds]" >&2
    return 2
  fi
  local compiler
  compiler="$(command -v clang++ || command -v clang++-14 || true)"
  if [[ -z "$compiler" ]]; then
    echo "run_fuzzers: clang++ not found (Debian: clang libclang-rt-14-dev)" >&2
    return 2
  fi
  local generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake -S "$source" -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER="$compiler" "$@" >/dev/null || return 2
  fi
  cmake --build "$build" -j2 >/dev/null || { cmake --build "$build" -j1; return 2; }
}

# The sanitiser's or the check's own words and the top of the stack.
ShowFinding() {
  grep -m 1 -A 14 -E '^==[0-9]+==ERROR|runtime error:|^fuzz finding:|ALARM: working on the last Unit|out-of-memory|deadly signal' "$1" >&2 ||
    tail -n 30 "$1" >&2
}

RunFuzzTargets() {
  local target seeds work log runs options
  local passed=0 failed=0
  mkdir -p "$build/findings"
  for target in "$@"; do
    seeds="$corpora/$target"
    work="$build/corpus/$target"
    log="$build/findings/$target.log"
    mkdir -p "$work"
    options=(-max_len="${maxLength[$target]:-4096}" -timeout=10 -rss_limit_mb=2048
             -artifact_prefix="$build/findings/$target-" -print_final_stats=1)

    if ! "$binaries/$target" "${options[@]}" -runs=0 "$seeds" >"$log" 2>&1; then
      echo "run_fuzzers: $target fails on a checked-in input; see $log" >&2
      ShowFinding "$log"
      failed=$((failed + 1))
      continue
    fi
    if [[ "$seconds" -gt 0 ]] &&
       ! "$binaries/$target" "${options[@]}" -max_total_time="$seconds" "$work" "$seeds" >>"$log" 2>&1; then
      echo "run_fuzzers: $target found a fault; input and log in $build/findings/" >&2
      ShowFinding "$log"
      failed=$((failed + 1))
      continue
    fi
    runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*$')
    echo "run_fuzzers: $target: ${runs:-0} inputs in ${seconds}s, no finding"
    passed=$((passed + 1))
  done
  echo "fuzz: $passed passed, $failed failed"
  [[ $failed -eq 0 ]]
}
