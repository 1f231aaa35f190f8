#!/usr/bin/env bash
# The server kit under hostile load, natively: the real `zarnel-verify serve`
# (memory store, then a Redis store on a redis-server started on a free
# port) beside one honest client doing login round trips, while an attacker
# holds idle connections, trickles headers, floods header bytes and floods
# challenge issuing, one phase each (serverkit/bench/service_under_attack.cpp).
# Writes the figures to RESULTS/serverkit-attack.txt and a report section to
# RESULTS/serverkit-attack.md.
#   benchmarks/run_serverkit_attack_benchmark.sh [SECONDS=15] [BUILD_DIR=build/serverkit-attack-bench] [RESULTS=build/benchmark-results]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-15}
build=${2:-build/serverkit-attack-bench}
results=${3:-build/benchmark-results}
mkdir -p "$results"

cmake -S serverkit -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target service_under_attack zarnel-verify >/dev/null

load_before=$(uptime | sed 's/^ *//')
started=$(date -u '+%Y-%m-%d %H:%M UTC')
for store in memory redis; do
  echo "== the service under hostile load, $store store, $seconds s a phase =="
  "$build/bench/service_under_attack" "$store" --seconds "$seconds" | tee "$results/serverkit-attack-$store.out"
done
load_after=$(uptime | sed 's/^ *//')
grep -h '^attack_' "$results"/serverkit-attack-{memory,redis}.out >"$results/serverkit-attack.txt"

get() { sed -n "s/^attack_$1=//p" "$results/serverkit-attack.txt" | head -n 1; }
calc() { awk "BEGIN {printf \"$1\", ($2)}"; }
table() { grep '^|' "$results/serverkit-attack-$1.out"; }
# The service's growth per idle connection and per challenge issued, in KB.
per_idle() {
  calc %.1f "1000 * ($(get "$1_idle_rss_peak_mb") - $(get "$1_idle_rss_before_mb")) / $(get "$1_idle_connected")"
}
per_challenge() {
  calc %.2f "1000 * ($(get "$1_challenges_many_sessions_rss_peak_mb") - $(get "$1_challenges_many_sessions_rss_before_mb")) / $(get "$1_challenges_many_sessions_issued")"
}

rss_moved() {  # store phase: the service's RSS peak over its value before the phase, in MB
  calc %.1f "$(get "$1_$2_rss_peak_mb") - $(get "$1_$2_rss_before_mb")"
}

commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
git diff --quiet HEAD -- serverkit 2>/dev/null || commit="$commit (serverkit/ with uncommitted changes)"
cat >"$results/serverkit-attack.md" <<MD

## Server kit under hostile load

\`bash benchmarks/run_serverkit_attack_benchmark.sh $seconds\`, $started, commit
$commit. $(nproc) cores, shared by the service, the honest client, the attacker
(and Redis), and by other work on the machine.
Load before: \`$load_before\`; after: \`$load_after\`.

The real \`zarnel-verify serve\` with its default limits (4096 connections,
8 KiB of header, 64 fields, 10 s per request, 60 s idle; verification on the
I/O threads with the memory store, on 16 workers with Redis) runs as
a child process on 127.0.0.1. One honest client (from 127.0.0.1) does a login
round trip every $(get memory_honest_interval_ms) ms on one keep-alive connection (issue, sign with a
device key as the guard would, verify; its latency is the two calls) for
$seconds s a phase, while an attacker from 127.0.0.2, which the service counts as
another caller, does one thing:

- **idle**: $(get memory_idle_connections) connections opened and never written to;
- **slow headers**: $(get memory_slow_connections) connections, each sending a request line, then one
  header line every 1 to 3 s, and connecting again when cut off;
- **header flood**: $(get memory_flood_mb) MB of header bytes, as fast as $(get memory_flood_connections) parallel connections
  take them, each until the service cuts it off (16 KiB send buffers, so that
  the bytes counted are those the service's side took, not megabytes parked
  in the attacker's kernel); the phase lasts its $seconds s all the same, and the
  last column gives the flood's own time and the honest round trips in it;
- **challenge floods**: \`POST /v1/login-challenges\`, pipelined 16 at a time
  on $(get memory_challenge_connections) connections for the whole phase, for one session, then for a new
  session each;
- **alone again**: nothing, to see whether the service comes back.

RSS is the service's VmRSS from \`/proc\`: before the phase, its peak sampled
every 20 ms during it, and 2 s after the attacker's connections closed. CPU
is a share of all $(nproc) cores over the phase: the service's from \`/proc\`, the
attacker's and the honest client's from their threads' CPU clocks, Redis's
from \`INFO cpu\`. The goal is a service that does not stall: the honest p99
at most twice the p99 alone, in the same run (the two phases alone, first
and last, show how much the machine's other work moves it).

### Memory store

$(table memory)

### Redis store

$(table redis)

The service's RSS at start: $(get memory_rss_at_start_mb) MB (memory store) and $(get redis_rss_at_start_mb) MB (Redis store);
its lifetime peak (VmHWM) at the end: $(get memory_alone_after_hwm_after_mb) MB and $(get redis_alone_after_hwm_after_mb) MB. Per idle
connection it grew by $(per_idle memory) KB (memory) and $(per_idle redis) KB (Redis). The header flood's
$(get memory_header_flood_mb_sent) and $(get redis_header_flood_mb_sent) MB moved its RSS peak by $(rss_moved memory header_flood) and $(rss_moved redis header_flood) MB. Per challenge issued
in the flood of a session each it grew by $(per_challenge memory) KB with the memory store, and by
$(per_challenge redis) KB with Redis, whose own used memory went from $(get redis_challenges_many_sessions_redis_used_memory_before_mb) to $(get redis_challenges_many_sessions_redis_used_memory_after_mb) MB.
Threads of the service at most: $(get memory_idle_threads_peak) with the idle connections open (memory store).
It ended on SIGTERM with exit code $(get memory_service_exit_code) (memory) and $(get redis_service_exit_code) (Redis), in $(get memory_service_stop_seconds) s
and $(get redis_service_stop_seconds) s, having written $(get memory_service_log_lines) and $(get redis_service_log_lines) lines to its log on standard output
($(get memory_service_log_warnings) and $(get redis_service_log_warnings) at warn or error) and $(get memory_service_standard_error_lines) and $(get redis_service_standard_error_lines) to standard error.

Reading the figures:

- Memory that the service frees goes back to its allocator (jemalloc),
  which returns unused pages to the system over some seconds, so RSS after
  a phase need not fall back to RSS before at once; what counts is that
  the peak stays bounded. Challenges issued stay in the
  memory store, open or remembered as used, for twice the login time to live
  (240 s by default), longer than this run.
- Most of the header flood's bytes are read by the service on purpose: after
  refusing a request it reads and drops up to 1 MiB more of it (for up to
  2 s, in a fixed 4 KiB buffer) so that its 431 answer is not lost to a
  reset.
- Without tokens or client certificates a caller is its peer address.
  Callers behind one address share the per-caller limit: an attacker on the
  honest client's address would have its challenges counted with the honest
  client's.
MD
echo "== server kit under hostile load, report section: $results/serverkit-attack.md =="
