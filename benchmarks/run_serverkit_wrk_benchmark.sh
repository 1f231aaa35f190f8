#!/usr/bin/env bash
# Login-proof verification through the real `zarnel-verify serve`, driven by
# wrk (Debian's package): for each store, PROOFS login challenges are issued
# and their proofs signed before the timed phase (bench/prepare_login_proofs),
# then wrk replays each proof once for SECONDS with CONNECTIONS connections
# (bench/replay_login_proofs.lua). The stores: memory (verified on the I/O
# threads, its default, and on 16 workers), one local Redis, a Sentinel set (a primary, one replica and
# three sentinels; a take waits for WAIT 1) and a Redis Cluster of three
# primaries without replicas (maxmemory with noeviction), all started by the
# script on loopback ports, their files in a temporary folder. Beside them,
# the library's own rate on one core (bench/login_proof_throughput), in the
# same run. Writes the figures to RESULTS/serverkit-wrk.txt and a report
# section to RESULTS/serverkit-wrk.md.
#   benchmarks/run_serverkit_wrk_benchmark.sh [SECONDS=10] [CONNECTIONS=32] [PROOFS=150000] [BUILD_DIR=build/serverkit-wrk-bench] [RESULTS=build/benchmark-results]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
connections=${2:-32}
# Enough that no wrk thread runs out within SECONDS on the memory store.
proofs=${3:-150000}
build=${4:-build/serverkit-wrk-bench}
results=${5:-build/benchmark-results}
mkdir -p "$results"
command -v wrk >/dev/null || { echo "wrk is missing (Debian package wrk)" >&2; exit 1; }
command -v redis-server >/dev/null || { echo "redis-server is missing" >&2; exit 1; }

cmake -S serverkit -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target zarnel-verify prepare_login_proofs login_proof_throughput >/dev/null
verify=$build/tool/zarnel-verify
cores=$(nproc)
threads=$(( cores < 2 ? 1 : 2 ))
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

out=$results/serverkit-wrk.txt
: >"$out"
load_before=$(uptime | sed 's/^ *//')
started=$(date -u '+%Y-%m-%d %H:%M UTC')
"$build/bench/login_proof_throughput" 5 4000 | grep -E '^login_proof_(kit_per_second|bare_per_second)=' | tee -a "$out"

run_store() {  # NAME STORE-URL [SERVE OPTION...]
  local name=$1 store=$2
  shift 2
  local log=$work/$name.log
  # Challenges live an hour: preparing them takes longer than the default
  # two minutes, and an expired one would be refused without a signature
  # check.
  "$verify" serve --listen 127.0.0.1:0 --store "$store" --drain-seconds 0 \
    --max-open-per-caller 1000000 --login-ttl 3600 "$@" >"$log" 2>&1 &
  local pid=$!
  pids+=("$pid")
  local port=""
  for _ in $(seq 100); do
    port=$(sed -n '1s/.*"listening":"[^"]*:\([0-9]*\)".*/\1/p' "$log")
    [[ -n "$port" ]] && break
    sleep 0.1
  done
  [[ -n "$port" ]] || { echo "the service did not start: $(cat "$log")" >&2; exit 1; }
  "$build/bench/prepare_login_proofs" "$port" "$proofs" "$work/$name.proofs" >/dev/null ||
    { echo "preparing the proofs failed ($name)" >&2; exit 1; }
  local ticks_before ticks_after hz
  hz=$(getconf CLK_TCK)
  ticks_before=$(cpu_ticks "$pid")
  PROOFS=$work/$name.proofs WRK_THREADS=$threads wrk -t"$threads" -c"$connections" -d"${seconds}s" \
    -s serverkit/bench/replay_login_proofs.lua "http://127.0.0.1:$port" >"$work/$name.wrk"
  ticks_after=$(cpu_ticks "$pid")
  kill -TERM "$pid"
  wait "$pid" || true
  sed -n 's/^wrk_/'"$name"'_/p' "$work/$name.wrk" | tee -a "$out"
  echo "${name}_service_cpu_seconds=$(awk -v a="$ticks_before" -v b="$ticks_after" -v hz="$hz" 'BEGIN {printf "%.2f", (b - a) / hz}')" | tee -a "$out"
}

wait_for() {  # SECONDS WHAT COMMAND...: runs COMMAND until it succeeds, or ends the run
  local tries=$(( $1 * 10 )) what=$2
  shift 2
  for _ in $(seq "$tries"); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "$what within $(( tries / 10 )) s" >&2
  exit 1
}

# Each redis-server gets a folder of its own: a replica's copy of the
# primary, a cluster node's nodes.conf and a sentinel's rewritten
# configuration would otherwise overwrite each other.
start_redis() {  # NAME PORT [CONFIG-FILE] [REDIS-SERVER OPTION...]
  local name=$1 port=$2
  shift 2
  mkdir -p "$work/$name"
  redis-server "$@" --port "$port" --bind 127.0.0.1 --daemonize no --dir "$work/$name" \
    >"$work/$name/redis.log" 2>&1 &
  pids+=("$!")
  wait_for 10 "$name did not answer PING" redis-cli -p "$port" ping
}
no_files=(--save '' --appendonly no)

redis_port=$(free_port)
start_redis redis "$redis_port" "${no_files[@]}"

# Sentinel: a take is judged only once WAIT 1 says the replica has it, so
# the replica must be in sync, and the sentinels must name the primary,
# before the proofs are issued.
primary_name=wrk-primary
primary_port=$(free_port)
start_redis primary "$primary_port" "${no_files[@]}"
replica_port=$(free_port)
start_redis replica "$replica_port" "${no_files[@]}" --replicaof 127.0.0.1 "$primary_port"
replica_in_sync() { redis-cli -p "$replica_port" info replication | grep -q '^master_link_status:up'; }
wait_for 30 "the replica did not sync" replica_in_sync
sentinel_nodes=()
for i in 1 2 3; do
  port=$(free_port)
  mkdir -p "$work/sentinel$i"
  # A sentinel rewrites its configuration file as it learns.
  echo "sentinel monitor $primary_name 127.0.0.1 $primary_port 2" >"$work/sentinel$i/sentinel.conf"
  start_redis "sentinel$i" "$port" "$work/sentinel$i/sentinel.conf" --sentinel
  sentinel_nodes+=("127.0.0.1:$port")
done
sentinel_knows_all() {  # PORT: the primary up, its replica and the two other sentinels
  local master
  master=$(redis-cli -p "$1" sentinel master "$primary_name" | paste -d= - -)
  grep -qx "port=$primary_port" <<<"$master" && grep -qx "flags=master" <<<"$master" &&
    grep -qx "num-slaves=1" <<<"$master" && grep -qx "num-other-sentinels=2" <<<"$master"
}
for node in "${sentinel_nodes[@]}"; do
  wait_for 30 "the sentinel $node did not learn the primary, its replica and the sentinels" \
    sentinel_knows_all "${node##*:}"
done

# Cluster: three primaries, no replicas. The bus port is a free one too: the
# default, the port plus 10000, may be taken or past 65535. The README asks
# a cluster store for maxmemory with noeviction on every node.
cluster_nodes=()
for i in 1 2 3; do
  port=$(free_port)
  start_redis "cluster$i" "$port" "${no_files[@]}" --cluster-enabled yes \
    --cluster-config-file nodes.conf --cluster-port "$(free_port)" \
    --maxmemory 256mb --maxmemory-policy noeviction
  cluster_nodes+=("127.0.0.1:$port")
done
redis-cli --cluster create "${cluster_nodes[@]}" --cluster-replicas 0 --cluster-yes \
  >"$work/cluster-create.log" 2>&1 ||
  { echo "redis-cli --cluster create failed: $(cat "$work/cluster-create.log")" >&2; exit 1; }
cluster_ok() { redis-cli -p "${1##*:}" cluster info | grep -q '^cluster_state:ok'; }
for node in "${cluster_nodes[@]}"; do
  wait_for 30 "the cluster node $node did not say cluster_state:ok" cluster_ok "$node"
done

run_store memory memory
run_store memory_workers memory --threads 16
run_store redis "redis://127.0.0.1:$redis_port/wrk"
run_store redis_sentinel "redis-sentinel://$(IFS=,; echo "${sentinel_nodes[*]}")/$primary_name/wrk"
run_store redis_cluster "redis-cluster://$(IFS=,; echo "${cluster_nodes[*]}")/wrk"
load_after=$(uptime | sed 's/^ *//')

get() { sed -n "s/^$1=//p" "$out" | head -n 1; }
library=$(get login_proof_kit_per_second)
row() {  # NAME LABEL
  local name=$1 label=$2
  local accepted seconds rate cpu per_cpu ratio_core ratio_cpu
  accepted=$(get "${name}_accepted")
  seconds=$(get "${name}_seconds")
  cpu=$(get "${name}_service_cpu_seconds")
  rate=$(awk -v a="$accepted" -v s="$seconds" 'BEGIN {printf "%.0f", a / s}')
  per_cpu=$(awk -v a="$accepted" -v c="$cpu" 'BEGIN {printf "%.0f", (c > 0 ? a / c : 0)}')
  ratio_core=$(awk -v r="$rate" -v n="$cores" -v l="$library" 'BEGIN {printf "%.2f", r / n / l}')
  ratio_cpu=$(awk -v r="$per_cpu" -v l="$library" 'BEGIN {printf "%.2f", r / l}')
  echo "| $label | $rate | $ratio_core | $per_cpu | $ratio_cpu | $(get "${name}_p50_ms") ms | $(get "${name}_p99_ms") ms | $(get "${name}_refused") | $(get "${name}_exhausted") |"
}

cat >"$results/serverkit-wrk.md" <<MD

## Server kit: verification throughput under wrk

\`benchmarks/run_serverkit_wrk_benchmark.sh $seconds $connections $proofs\`, $started, commit
$(git rev-parse --short HEAD 2>/dev/null || echo unknown); $cores cores, shared by wrk ($threads threads, $connections connections), the service and the Redis processes.
Load before: \`$load_before\`; after: \`$load_after\`.

$proofs login challenges were issued and their proofs signed (16 device keys) before the
timed phase; wrk then sent each proof once to \`POST /v1/login-proofs\`, for $seconds s or
until a thread had sent all of its proofs ("stopped early" counts the calls made after a
thread ran out, 0 when none did; the rate is over the time wrk ran, so it is too low then).
The library verifies $library proofs a second on one core (\`login_proof_throughput\`,
the kit's \`VerifyLoginProof\`, same run). "Per core" divides the service's rate by all
$cores cores of the machine, although wrk used part of them; "per CPU second" divides by
the CPU time the service itself used during the phase (its threads: I/O, workers, log).
Stores, each a fresh service with the same options: memory, verified on the I/O threads
(its default) and on 16 workers (\`--threads 16\`); one local Redis with 16 workers (as
every Redis store); a Sentinel set (a primary, one replica and three
sentinels, all local; a take is judged only once \`WAIT 1\` says the replica has it); a
Redis Cluster of three local primaries without replicas (\`maxmemory 256mb\`,
\`noeviction\`). Redis runs without persistence; its CPU time is not in the service's.

| store | accepted / s | per core / library | per service CPU second | / library | p50 | p99 | refused | stopped early |
|---|---|---|---|---|---|---|---|---|
$(row memory "memory (default: the I/O threads verify)")
$(row memory_workers "memory, \`--threads 16\` (workers verify)")
$(row redis "one Redis (local)")
$(row redis_sentinel "Sentinel (primary, replica, 3 sentinels; take waits for WAIT 1)")
$(row redis_cluster "Cluster (3 primaries, no replicas)")

Goal: per core / library at least 0.7.
MD
cat "$results/serverkit-wrk.md"
