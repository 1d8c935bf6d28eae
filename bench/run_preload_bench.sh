#!/usr/bin/env bash
# run_preload_bench.sh [BUILD_DIR [BENCHMARK ARGS...]]
#
# Runs bench/preload_data_bench inside the test launcher: the simulator serves kvel0, and
# a python3 peer at 198.18.0.2 (bench/bench_peer.py) keeps a TCP sink on port 9100 (reads
# and drops), a TCP source on 9101 and a UDP source on 9102 (each answers an 8-byte request, u32 count and
# u32 size little-endian, with count messages of size bytes, one segment or datagram
# each). Prints the machine, the benchmark's table and, for each call and size, what the
# interposer adds to the bare zorvsock call, beside the kernel's call.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
(($# == 0)) || shift
bench=$build/bench/preload_data_bench
sim=$build/sim/zorvnic_sim
[[ -x $bench && -x $sim && -f $build/preload/libzorvload.so ]] ||
  { echo "run_preload_bench.sh: build $bench, $sim and libzorvload first" >&2; exit 1; }

inside='
bench=$1
shift
# One segment per message of the source: no corking of small writes behind each other.
zorv_peer sysctl -q -w net.ipv4.tcp_autocorking=0
zorv_peer python3 "$ZORV_BENCH_DIR/bench_peer.py" --ask count_size --udp &
for ((i = 0; i < 200; i++)); do
  [[ $(zorv_peer ss -Hln "( sport = :9100 or sport = :9101 or sport = :9102 )" | wc -l) == 3 ]] && break
  sleep 0.05
done
echo "machine: $(nproc) CPUs, $(grep -m1 "model name" /proc/cpuinfo | cut -d: -f2 | sed "s/^ *//")"
ZORVLOAD_LIB=$ZORV_BUILD/preload/libzorvload.so "$bench" --benchmark_out=/tmp/preload_data_bench.json --benchmark_out_format=json "$@"
PYTHONPATH=$ZORV_BENCH_DIR python3 - <<PY
from bench_runs import figures
runs = figures("/tmp/preload_data_bench.json")
for kind in ("tcp", "udp"):
    for call in ("send", "recv"):
        for size in ("64", "1460"):
            name = "%s_%s_%%s/%s" % (kind, call, size)
            own, bare, kernel = (runs.get(name % w) for w in ("interposed", "zorvsock", "kernel"))
            if own and bare and kernel:
                print("%s %s %4s bytes: interposer %.1f ns, bare zorvsock %.1f ns (+%.1f ns),"
                      " kernel %.1f ns (again: %d, %d; bursts redone: %d, %d)" % (kind, call, size,
                      own["real_time"], bare["real_time"], own["real_time"] - bare["real_time"],
                      kernel["real_time"], own.get("again", 0), bare.get("again", 0),
                      own.get("redone", 0), bare.get("redone", 0)))
PY
'
export ZORV_BENCH_DIR=$root/bench ZORV_BUILD=$build
exec "$root/tests/launcher/zorv_launch" --sim "$sim" -- bash -c "$inside" preload_data_bench "$bench" "$@"
