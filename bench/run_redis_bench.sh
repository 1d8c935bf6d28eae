#!/usr/bin/env bash
# run_redis_bench.sh [BUILD_DIR [ROUNDS]]
#
# Runs redis-benchmark in the peer namespace against two redis-servers on our side of
# the test launcher's simulated port kvel0 (198.18.0.1), in one run: one preloaded with
# libzorvload, so that its connections are the card's, and one plain, on kernel sockets
# between the same namespaces. Each round benchmarks both, kernel first, with 50 clients,
# without pipelining and with 16 requests a pipeline; prints each round's requests per
# second of every test side by side, and the card's share of the kernel's figure.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
rounds=${2:-1}
lib=$build/preload/libzorvload.so
sim=$build/sim/zorvnic_sim
[[ -x $sim && -f $lib ]] || { echo "run_redis_bench.sh: build $sim and $lib first" >&2; exit 1; }
command -v redis-server > /dev/null || { echo "run_redis_bench.sh: run scripts/deps first" >&2; exit 1; }

inside='
lib=$1 rounds=$2
cd "$(mktemp -d)"
start() {  # start PORT RUN...: a redis-server on our side, answering the peer
  local port=$1
  shift
  "$@" redis-server --bind 198.18.0.1 --port "$port" --save "" --appendonly no \
    --protected-mode no --dir "$PWD" > "redis_$port.log" 2>&1 &
  for _ in $(seq 100); do
    zorv_peer redis-cli -h 198.18.0.1 -p "$port" ping 2>/dev/null | grep -q PONG && return
    sleep 0.1
  done
  echo "redis-server on port $port does not answer" >&2
  exit 1
}
start 6379 env
start 6380 env NOTRACE=1 LD_PRELOAD="$lib"
echo "machine: $(nproc) CPUs, $(grep -m1 "model name" /proc/cpuinfo | cut -d: -f2 | sed "s/^ *//")"
for ((round = 1; round <= rounds; round++)); do
  for pipeline in 1 16; do
    for port in 6379 6380; do
      zorv_peer redis-benchmark -h 198.18.0.1 -p "$port" -n 100000 -c 50 -P "$pipeline" \
        -t set,get,lpush,lrange_100,lrange_600 --csv > "bench_${port}_$pipeline.csv"
    done
    python3 - "$round" "$pipeline" bench_6379_$pipeline.csv bench_6380_$pipeline.csv <<PY
import csv, sys
round_, pipeline, kernel, card = sys.argv[1:]
rps = lambda path: {row["test"]: float(row["rps"]) for row in csv.DictReader(open(path))}
kernel, card = rps(kernel), rps(card)
print("round %s, %s request(s) a pipeline, 50 clients, requests per second:" % (round_, pipeline))
print("  %-36s %10s %10s %12s" % ("test", "kernel", "card", "card/kernel"))
for test, k in kernel.items():
    print("  %-36s %10.0f %10.0f %12.2f" % (test, k, card[test], card[test] / k))
PY
  done
done
'
exec "$root/tests/launcher/zorv_launch" --sim "$sim" -- bash -c "$inside" redis_bench "$lib" "$rounds"
