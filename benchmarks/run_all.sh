#!/usr/bin/env bash
# Every benchmark of the project in one go, and one report of them:
# benchmarks/REPORT.md (figures against their goals) with the bar charts
# benchmarks/report-throughput.svg and benchmarks/report-scans.svg.
#   benchmarks/run_all.sh
# Sizes, from the environment (the defaults are the full run, about ten
# minutes on two cores; something like ARCHIVE_MIB=64 PROCESSES=20 RUNS=20
# COLD_RUNS=5 PROOF_REPEATS=20 MONITOR_SECONDS=10 ATTACK_SECONDS=2 checks the
# script in a few minutes, about 80 s of them the server kit under hostile
# load):
#   ARCHIVE_MIB=2048     archives verified (guard, raw CryptoAPI, sha256sum)
#   ARCHIVE_ROUNDS=3     alternating guard/raw rounds, warm page cache
#   PROCESSES=100        idle programs beside the scans and the monitor
#   RUNS=200             runs of each detection check
#   COLD_RUNS=40         fresh processes: start-up to first login proof
#   PROOF_REPEATS=200    login proofs in one process after the first
#   MONITOR_SECONDS=60   how long the monitor is watched through the DLL
#   ATTACK_SECONDS=15    each phase of the server kit under hostile load
#   BUILD_ROOT=build     the benchmark builds go to BUILD_ROOT/benchmark and
#                        BUILD_ROOT/benchmark-archives (ARCHIVE_MIB of data)
#   REPORT_DIR=benchmarks  where REPORT.md and the charts are written
#   REPORT_ONLY=1        write the report again from the last run's outputs
set -euo pipefail
cd "$(dirname "$0")/.."
archive_mib=${ARCHIVE_MIB:-2048}
archive_rounds=${ARCHIVE_ROUNDS:-3}
processes=${PROCESSES:-100}
runs=${RUNS:-200}
cold_runs=${COLD_RUNS:-40}
proof_repeats=${PROOF_REPEATS:-200}
monitor_seconds=${MONITOR_SECONDS:-60}
attack_seconds=${ATTACK_SECONDS:-15}
build_root=$(realpath -m "${BUILD_ROOT:-build}")
report_dir=$(realpath -m "${REPORT_DIR:-benchmarks}")
results="$build_root/benchmark-results"
mkdir -p "$results" "$report_dir"

if [ "${REPORT_ONLY:-0}" != 1 ]; then
  started=$(date -u '+%Y-%m-%d %H:%M UTC')
  start_seconds=$(date +%s)
  load_before=$(uptime | sed 's/^ *//')

  echo "== archive verification: $archive_mib MiB, $archive_rounds rounds =="
  benchmarks/run_archive_benchmark.sh "$archive_mib" "$build_root/benchmark-archives" "$archive_rounds" |
    tee "$results/archive.txt"
  echo "== start-up, login proof, memory, monitor through the DLL =="
  benchmarks/run_startup_benchmark.sh "$cold_runs" "$proof_repeats" "$monitor_seconds" "$processes" \
    "$build_root/benchmark" | tee "$results/startup.txt"
  echo "== detection checks: $processes processes, $runs runs =="
  benchmarks/run_detection_benchmark.sh "$processes" "$runs" "$build_root/benchmark" | tee "$results/detection.txt"
  echo "== server kit: login proofs against bare OpenSSL, the service under 64 clients =="
  benchmarks/run_serverkit_benchmark.sh 64 10 7 "$build_root/serverkit-bench" "$results"
  echo "== server kit under hostile load: the real service beside an honest client =="
  benchmarks/run_serverkit_attack_benchmark.sh "$attack_seconds" "$build_root/serverkit-attack-bench" "$results"
  echo "== server kit: verification through the service under wrk =="
  benchmarks/run_serverkit_wrk_benchmark.sh 10 32 150000 "$build_root/serverkit-wrk-bench" "$results"

  load_after=$(uptime | sed 's/^ *//')
  elapsed=$(($(date +%s) - start_seconds))
  declare -p started load_before load_after elapsed archive_rounds processes runs cold_runs proof_repeats \
    >"$results/run.txt"
fi
# REPORT_ONLY=1 writes the report again from the last run's outputs.
source "$results/run.txt"
dll="$build_root/benchmark/bin/ZarnelGuard.dll"
objdump=$(command -v i686-w64-mingw32-objdump)
strip_tool=$(command -v i686-w64-mingw32-strip)
"$objdump" -h "$dll" >"$results/dll-sections.txt"
"$strip_tool" -o "$results/ZarnelGuard.stripped.dll" "$dll"

# ---------------------------------------------------------------- parsing
value() { sed -n "s/^$1=//p" "$2" | head -n 1; }
calc() { awk "BEGIN {printf \"$1\", ($2)}"; }
archive="$results/archive.txt" startup="$results/startup.txt" detection="$results/detection.txt"

read -r guard_mbs raw_mbs ratio_raw < <(sed -n \
  's/^median guard \([0-9.]*\) MB\/s, raw CryptoAPI \([0-9.]*\) MB\/s, ratio guard\/raw \([0-9.]*\)$/\1 \2 \3/p' "$archive") ||
  { echo "run_all.sh: no guard/raw medians in $archive" >&2; exit 1; }
archive_mb=$(sed -n 's/^archives: [0-9]* files, \([0-9.]*\) MB$/\1/p' "$archive")
sha_mbs=$(sed -n 's/^sha256sum (build machine, same files): \([0-9.]*\) MB\/s.*/\1/p' "$archive")
cold_guard_mbs=$(grep '^round [0-9]* guard' "$archive" | tail -n 1 | awk '{print $6}')
cold_raw_mbs=$(grep '^round [0-9]* raw' "$archive" | tail -n 1 | awk '{print $6}')
cold_sha_mbs=$(sed -n 's/^sha256sum cold: \([0-9.]*\) MB\/s.*/\1/p' "$archive")
cold_measured=$(grep -q '^== cold: caches dropped' "$archive" && echo yes || echo no)

# detection rows: name wall cpu server
row() { awk -v n="$1" '$1 == n {print $2, $3, $4}' "$detection"; }
read -r quick_wall quick_cpu quick_server < <(row quick_program_scan) ||
  { echo "run_all.sh: no scan figures in $detection" >&2; exit 1; }
read -r full_wall full_cpu full_server < <(row full_program_scan)
read -r other_wall other_cpu other_server < <(row debugger_and_module_scan)
read -r vm_wall vm_cpu vm_server < <(row virtual_machine_check)
read -r list_wall list_cpu list_server < <(row process_list_read_only)
processes_running=$(sed -n 's/^processes_running=\([0-9]*\).*/\1/p' "$detection")
estimate_share=$(value monitor_share_of_one_core "$detection")
estimate_minute=$(value monitor_cpu_ms_per_minute "$detection")
cpu_model=$(sed -n 's/^cpu: //p' "$detection")
# CPU per run counts the wineserver's share too: under Wine it is real work.
quick_total=$(calc %.3f "$quick_cpu + ($quick_server > 0 ? $quick_server : 0)")
full_total=$(calc %.3f "$full_cpu + ($full_server > 0 ? $full_server : 0)")
list_total=$(calc %.3f "$list_cpu + ($list_server > 0 ? $list_server : 0)")
ratio_wall=$(calc %.3f "$quick_wall / $full_wall")
ratio_cpu=$(calc %.3f "$quick_total / $full_total")
own_quick_wall=$(calc %.3f "$quick_wall - $list_wall")
own_full_wall=$(calc %.3f "$full_wall - $list_wall")
own_quick_cpu=$(calc %.3f "$quick_total - $list_total")
own_full_cpu=$(calc %.3f "$full_total - $list_total")
own_ratio_wall=$(calc %.3f "$own_full_wall > 0 ? $own_quick_wall / $own_full_wall : -1")
own_ratio_cpu=$(calc %.3f "$own_full_cpu > 0 ? $own_quick_cpu / $own_full_cpu : -1")
list_share=$(calc %.0f "100 * $list_wall / $quick_wall")

monitor_share=$(value monitor_monitor_share_of_one_core "$startup")
monitor_minute=$(value monitor_monitor_cpu_ms_per_minute "$startup")
monitor_window=$(value monitor_window_s "$startup")
monitor_copies=$(value monitor_idle_copies "$startup")
monitor_process=$(value monitor_process_cpu_ms "$startup")
monitor_server=$(value monitor_wineserver_cpu_ms "$startup")
monitor_base_window=$(value monitor_baseline_window_s "$startup")
monitor_base_server=$(value monitor_baseline_wineserver_cpu_ms "$startup")

spread_row() {  # label key: | label | median | p10 | p90 | min | max |
  local numbers
  numbers=$(value "$2" "$startup")
  echo "| $1 | $(echo "$numbers" | awk '{printf "%s | %s | %s | %s | %s", $1, $2, $3, $4, $5}') |"
}
mem() { value "mem_$1" "$startup"; }
mib() { calc %.2f "$1 / 1048576"; }
delta_mib() { calc %+.2f "($1 - $2) / 1048576"; }

verdict() { awk "BEGIN {print (($1) ? \"met\" : \"**not met**\")}"; }
verification_verdict=$(verdict "$ratio_raw >= 0.95")
scan_verdict=$(verdict "$ratio_wall <= 0.05 && $ratio_cpu <= 0.05")
own_verdict=$(verdict "$own_ratio_wall >= 0 && $own_ratio_wall <= 0.05 && $own_ratio_cpu >= 0 && $own_ratio_cpu <= 0.05")
monitor_verdict=$(verdict "${monitor_share%\%} < 1")
estimate_verdict=$(verdict "${estimate_share%\%} < 1")

# ---------------------------------------------------------------- charts
# Horizontal bars: svg_bars FILE TITLE UNIT, then "label|value|colour" lines.
svg_bars() {
  awk -F'|' -v title="$2" -v unit="$3" '
    function esc(s) { gsub(/&/, "\\&amp;", s); gsub(/</, "\\&lt;", s); gsub(/>/, "\\&gt;", s); return s }
    { label[NR] = $1; v[NR] = $2 + 0; colour[NR] = $3; if (v[NR] > top) top = v[NR] }
    END {
      left = 300; width = 420; bar = 24; gap = 10; head = 44
      height = head + NR * (bar + gap) + 20
      printf "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" font-family=\"sans-serif\" font-size=\"13\">\n", left + width + 110, height
      printf "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
      printf "<text x=\"10\" y=\"24\" font-size=\"15\" font-weight=\"bold\">%s</text>\n", esc(title)
      for (i = 1; i <= NR; i++) {
        y = head + (i - 1) * (bar + gap)
        w = top > 0 ? v[i] / top * width : 0
        printf "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">%s</text>\n", left - 8, y + bar * 0.7, esc(label[i])
        printf "<rect x=\"%d\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\"/>\n", left, y, w, bar, colour[i]
        printf "<text x=\"%.1f\" y=\"%d\">%s %s</text>\n", left + w + 6, y + bar * 0.7, v[i], esc(unit)
      }
      printf "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#333\"/>\n", left, head - 4, left, height - 16
      print "</svg>"
    }' >"$1"
}
{
  echo "guard verification (warm)|$guard_mbs|#1f77b4"
  echo "raw CryptoAPI, same bytes (warm)|$raw_mbs|#7f7f7f"
  echo "sha256sum, same bytes (warm)|$sha_mbs|#bcbd22"
  if [ "$cold_measured" = yes ]; then
    echo "guard verification (cold)|$cold_guard_mbs|#aec7e8"
    echo "raw CryptoAPI (cold)|$cold_raw_mbs|#c7c7c7"
    echo "sha256sum (cold)|$cold_sha_mbs|#dbdb8d"
  fi
} | svg_bars "$report_dir/report-throughput.svg" "SHA-256 over $archive_mb MB of archives (higher is better)" "MB/s"
{
  echo "process list read alone|$list_wall|#7f7f7f"
  echo "quick program scan (whole)|$quick_wall|#1f77b4"
  echo "full program scan (whole)|$full_wall|#ff7f0e"
  echo "quick scan beyond the list read|$own_quick_wall|#aec7e8"
  echo "full scan beyond the list read|$own_full_wall|#ffbb78"
  echo "debugger check + module scan|$other_wall|#2ca02c"
  echo "virtual-machine check|$vm_wall|#9467bd"
} | svg_bars "$report_dir/report-scans.svg" "Detection checks, $processes_running processes running (median wall time)" "ms"

# ---------------------------------------------------------------- report
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
git diff --quiet HEAD 2>/dev/null || commit="$commit (with uncommitted changes)"
dll_bytes=$(stat -c %s "$dll")
stripped_bytes=$(stat -c %s "$results/ZarnelGuard.stripped.dll")
{
  cat <<EOF
# Performance report

Written by \`benchmarks/run_all.sh\` (every benchmark of the project in one
go; sizes and method: \`benchmarks/README.md\`). All ratios below come from
this one run, each pair measured side by side in the same process or script.

| | |
|---|---|
| date | $started, $elapsed s for the whole run |
| commit | $commit |
| machine | $cpu_model; $(wine --version) |
| load before | \`$load_before\` |
| load after | \`$load_after\` |
| sizes | $archive_mb MB of archives, $archive_rounds rounds; $processes idle programs ($processes_running processes running in the scans' prefix); $runs runs per check; $cold_runs cold start-ups; $proof_repeats repeated proofs; monitor watched for $monitor_window s |

## Against the goals

| figure | measured | goal | |
|---|---|---|---|
| archive verification / raw CryptoAPI, same bytes, warm cache | $ratio_raw ($guard_mbs / $raw_mbs MB/s) | at least 0.95 | $verification_verdict |
| quick / full program scan, whole, wall time (CPU incl. wineserver) | $ratio_wall ($ratio_cpu) | at most 0.05 | $scan_verdict |
| quick / full program scan, the scans' own work beyond the process-list read, wall (CPU) | $own_ratio_wall ($own_ratio_cpu) | at most 0.05 | $own_verdict |
| monitor through the DLL, $monitor_copies idle programs beside it | $monitor_share of one core ($monitor_minute ms CPU a minute) | well under 1% | $monitor_verdict |
| monitor, estimated from the per-check costs below | $estimate_share of one core ($estimate_minute ms a minute) | well under 1% | $estimate_verdict |

Both program scans start with one read of the process list, which Wine
builds by reading /proc for every thread of every process: that read is
$list_share% of the quick scan's wall time here, so under Wine the whole quick
scan cannot come near a twentieth of the full one. The line beyond it
compares what the scans do themselves (scan minus the list read; medians for
wall time, means for CPU, so small differences are noisy).

## Archive verification

The guard's own verification of the 17 archives (open, checks, SHA-256
through CryptoAPI, compare, hold) against a plain ReadFile/CryptHashData loop
over the same files, alternating in one process under Wine
($archive_rounds rounds each, median), and coreutils \`sha256sum\` (a native Linux
program) on the same bytes right after, for scale. Cold: the page cache
dropped before each of the three (root only).

| measurement | MB/s | / raw CryptoAPI | / sha256sum |
|---|---|---|---|
| guard verification, warm | $guard_mbs | $ratio_raw | $(calc %.3f "$guard_mbs / $sha_mbs") |
| raw CryptoAPI, warm | $raw_mbs | 1 | $(calc %.3f "$raw_mbs / $sha_mbs") |
| sha256sum, warm | $sha_mbs | $(calc %.2f "$sha_mbs / $raw_mbs") | 1 |
EOF
  if [ "$cold_measured" = yes ]; then
    cat <<EOF
| guard verification, cold (page cache dropped) | $cold_guard_mbs | $(calc %.3f "$cold_guard_mbs / $cold_raw_mbs") | $(calc %.3f "$cold_guard_mbs / $cold_sha_mbs") |
| raw CryptoAPI, cold | $cold_raw_mbs | 1 | $(calc %.3f "$cold_raw_mbs / $cold_sha_mbs") |
| sha256sum, cold | $cold_sha_mbs | $(calc %.2f "$cold_sha_mbs / $cold_raw_mbs") | 1 |
EOF
  fi
  cat <<EOF

![SHA-256 throughput](report-throughput.svg)

Raw CryptoAPI is the ceiling for the guard, which hashes through it; the
gap to \`sha256sum\` is Wine's CryptoAPI against native code, not the guard's.

## Detection checks with a crowded process list

Each check $runs times with $processes idle programs beside it; median wall
time, and mean CPU per run of the calling thread and of the wineserver
(Wine counts CPU time in 10 ms ticks, so CPU is a mean over all runs).

| measurement | wall ms (median) | CPU ms (mean) | wineserver ms (mean) |
|---|---|---|---|
| quick program scan | $quick_wall | $quick_cpu | $quick_server |
| full program scan | $full_wall | $full_cpu | $full_server |
| process list read alone | $list_wall | $list_cpu | $list_server |
| quick scan beyond the list read | $own_quick_wall | $own_quick_cpu (incl. wineserver) | |
| full scan beyond the list read | $own_full_wall | $own_full_cpu (incl. wineserver) | |
| debugger check + module scan | $other_wall | $other_cpu | $other_server |
| virtual-machine check | $vm_wall | $vm_cpu | $vm_server |

![Detection checks](report-scans.svg)

## Monitor

Through the shipped DLL: a host starts $monitor_copies idle programs, loads the
guard, starts it, and measures its own process's CPU time (only the monitor
thread works; the host's thread sleeps) and the wineserver's over
$monitor_window s: $monitor_process ms in the process, $monitor_server ms in the wineserver.
The wineserver also works for the other processes of the prefix: over the
same length without the guard, before the start-up, it used $monitor_base_server ms
($monitor_base_window s), and only what the guard adds to that counts
($(calc %.0f "$monitor_server - $monitor_base_server * $monitor_window / $monitor_base_window > 0 ? $monitor_server - $monitor_base_server * $monitor_window / $monitor_base_window : 0") ms here). Wine counts CPU time in 10 ms ticks. Passes come every 3 to 7 s,
so the window holds about $(calc %.0f "$monitor_window / 5") passes; the full scan every 30 to 45 s
and the core-file verification with the virtual-machine check every 45 to
75 s fall into it once or twice. The estimate from the per-check costs
(a pass every 5 s, a full scan every 37.5 s, the virtual-machine check every
60 s, core files not counted) gives $estimate_minute ms a minute.

## Login proof latency

The shipped DLL in a copy of the sample client (3 MiB of archives, so that the
start-up is the guard's own work; add archive size / verification throughput
for a real client), the stand-in key storage provider, under Wine. Cold: each
run a fresh process, from the call of \`ZarnelGuardInitialize\` to the return
of the first \`ZarnelGuardCreateLoginProof\`. Every proof runs the pre-login
checks (debugger, modules, full program scan) before it signs.

| ms | median | p10 | p90 | min | max |
|---|---|---|---|---|---|
$(spread_row "LoadLibrary of the DLL (cold, $cold_runs runs)" cold_load_spread_ms)
$(spread_row "ZarnelGuardInitialize (cold)" cold_initialize_spread_ms)
$(spread_row "first login proof after it (cold)" cold_first_proof_spread_ms)
$(spread_row "**start to signed proof (cold)**" cold_initialize_to_first_proof_spread_ms)
| repeated proofs in one process ($(value repeat_proof_count "$startup")) | $(value repeat_proof_median_ms "$startup") | $(value repeat_proof_p10_ms "$startup") | $(value repeat_proof_p90_ms "$startup") | $(value repeat_proof_min_ms "$startup") | $(value repeat_proof_max_ms "$startup") |

The very first start on a machine also creates the device key:
$(value first_run_initialize_ms "$startup") ms for the start-up and $(value first_run_initialize_to_first_proof_ms "$startup") ms to the signed proof (one run).

## Start-up memory

\`GetProcessMemoryInfo\` in the host, before and after loading the DLL,
after \`ZarnelGuardInitialize\` and after the repeated proofs (MiB).

| counter | before load | after load | after start-up | after proofs | start-up's share |
|---|---|---|---|---|---|
| PeakWorkingSetSize | $(mib "$(mem before_load_peak_working_set)") | $(mib "$(mem after_load_peak_working_set)") | $(mib "$(mem after_initialize_peak_working_set)") | $(mib "$(mem after_proofs_peak_working_set)") | $(delta_mib "$(mem after_initialize_peak_working_set)" "$(mem after_load_peak_working_set)") |
| WorkingSetSize | $(mib "$(mem before_load_working_set)") | $(mib "$(mem after_load_working_set)") | $(mib "$(mem after_initialize_working_set)") | $(mib "$(mem after_proofs_working_set)") | $(delta_mib "$(mem after_initialize_working_set)" "$(mem after_load_working_set)") |
| PeakPagefileUsage | $(mib "$(mem before_load_peak_pagefile)") | $(mib "$(mem after_load_peak_pagefile)") | $(mib "$(mem after_initialize_peak_pagefile)") | $(mib "$(mem after_proofs_peak_pagefile)") | $(delta_mib "$(mem after_initialize_peak_pagefile)" "$(mem after_load_peak_pagefile)") |
| PagefileUsage | $(mib "$(mem before_load_pagefile)") | $(mib "$(mem after_load_pagefile)") | $(mib "$(mem after_initialize_pagefile)") | $(mib "$(mem after_proofs_pagefile)") | $(delta_mib "$(mem after_initialize_pagefile)" "$(mem after_load_pagefile)") |
| PrivateUsage | $(mib "$(mem before_load_private)") | $(mib "$(mem after_load_private)") | $(mib "$(mem after_initialize_private)") | $(mib "$(mem after_proofs_private)") | |

What Wine reports: it fills these counters from the Linux process's
\`/proc/self/status\`. PeakWorkingSetSize is \`VmHWM\` (a true peak of resident
memory) and WorkingSetSize \`VmRSS\`; PagefileUsage follows the resident
anonymous memory, and PeakPagefileUsage is the same current value, not a
peak (a probe that touched and freed 64 MiB saw it fall again); PrivateUsage
stays 0; and committed memory that was never touched counts nowhere. The "after load"
step includes Wine loading the DLL's imports (advapi32, bcrypt, ncrypt and
what they pull in), which a real client has mostly loaded already; the
start-up's share is the growth over \`ZarnelGuardInitialize\` alone. On
Windows, PeakPagefileUsage is the peak of private committed memory.

## The DLL

\`ZarnelGuard.dll\` as built (Release, mingw-w64 i686, runtime linked
statically): **$dll_bytes bytes**; $stripped_bytes bytes with the debug sections stripped
(\`i686-w64-mingw32-strip\`; they come from the statically linked runtime).

| section | bytes |
|---|---|
$(awk 'function hex(s,  i, n) { n = 0; s = tolower(s); for (i = 1; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1; return n }
       $1 ~ /^[0-9]+$/ && $2 ~ /^\./ {printf "| %s | %d |\n", $2, hex($3)}' "$results/dll-sections.txt")

<details><summary>Raw output of the three benchmarks</summary>

\`\`\`
$(cat "$archive")
\`\`\`

\`\`\`
$(cat "$startup")
\`\`\`

\`\`\`
$(cat "$detection")
\`\`\`

</details>
EOF
  # The server kit's sections, written by run_serverkit_benchmark.sh,
  # run_serverkit_attack_benchmark.sh and run_serverkit_wrk_benchmark.sh.
  if [ -f "$results/serverkit.md" ]; then cat "$results/serverkit.md"; fi
  if [ -f "$results/serverkit-attack.md" ]; then cat "$results/serverkit-attack.md"; fi
  if [ -f "$results/serverkit-wrk.md" ]; then cat "$results/serverkit-wrk.md"; fi
} >"$report_dir/REPORT.md"
echo "== report: $report_dir/REPORT.md ($elapsed s) =="
