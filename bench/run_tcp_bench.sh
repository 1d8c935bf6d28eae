#!/usr/bin/env bash
# run_tcp_bench.sh [BUILD_DIR [BENCHMARK ARGS...]]
#
# Runs bench/tcp_bench inside the test launcher: the simulator serves kvel0, and a
# python3 peer at 198.18.0.2 (bench/bench_peer.py) keeps a sink on port 9100 (reads and drops everything) and
# a source on port 9101 (answers an 8-byte little-endian count N with N bytes), each
# connection in a thread of its own. Prints the machine, the benchmark's table, how many
# times cheaper zorvsock_tcp_send is than the kernel's send for each size, and the bulk
# rates through the card beside the kernel's TCP over the same simulated port.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
(($# == 0)) || shift
bench=$build/bench/tcp_bench
sim=$build/sim/zorvnic_sim
[[ -x $bench && -x $sim ]] || { echo "run_tcp_bench.sh: build $bench and $sim first" >&2; exit 1; }

inside='
bench=$1
shift
# The source pauses while the benchmark reads a burst: its next burst starts at full speed.
zorv_peer sysctl -q -w net.ipv4.tcp_slow_start_after_idle=0
zorv_peer python3 "$ZORV_BENCH_DIR/bench_peer.py" --ask total &
for ((i = 0; i < 100; i++)); do
  [[ $(zorv_peer ss -Hltn "( sport = :9100 or sport = :9101 )" | wc -l) == 2 ]] && break
  sleep 0.05
done
echo "machine: $(nproc) CPUs, $(grep -m1 "model name" /proc/cpuinfo | cut -d: -f2 | sed "s/^ *//")"
"$bench" --benchmark_out=/tmp/tcp_bench.json --benchmark_out_format=json "$@"
PYTHONPATH=$ZORV_BENCH_DIR python3 - <<PY
from bench_runs import figures
runs = figures("/tmp/tcp_bench.json")
for size in ("64", "1460"):
    own, kernel = runs.get("zorvsock_send/" + size), runs.get("kernel_send/" + size)
    if own and kernel:
        print("%5s bytes: zorvsock_tcp_send %.1f ns, kernel send %.1f ns, %.1f times cheaper"
              " (%d sends met -11)" % (size, own["real_time"], kernel["real_time"],
                                       kernel["real_time"] / own["real_time"], own["eagain"]))
if "zorvsock_receive" in runs:
    print("zorvsock_tcp_zc_receive + done: %.1f ns per segment" % runs["zorvsock_receive"]["real_time"])
for burst in ("1", "16"):
    own, card = runs.get("zorvsock_doorbell/" + burst), runs.get("register_store/" + burst)
    if own and card:
        print("ACK doorbell, bursts of %2s: %.1f ns per ring, a plain register store %.1f ns"
              % (burst, own["real_time"], card["real_time"]))
own, card = runs.get("zorvsock_doorbell_awake"), runs.get("register_store/1")
if own and card:
    print("ACK doorbell, one ring while the simulator is awake: median %.1f ns (mean %.1f ns),"
          " a plain register store %.1f ns" % (own["median_ns"], own["real_time"], card["real_time"]))
own, kernel = runs.get("zorvsock_connect"), runs.get("kernel_tcp_connect")
if own and kernel:
    print("connect, until established: card %.0f us, kernel %.0f us" % (own["real_time"], kernel["real_time"]))
for way in ("send", "receive"):
    own, kernel = runs.get("zorvsock_bulk_" + way), runs.get("kernel_bulk_" + way)
    if own and kernel:
        print("bulk %-7s: card %.0f MiB/s, kernel TCP %.0f MiB/s over the same simulated port"
              % (way, own["bytes_per_second"] / 2**20, kernel["bytes_per_second"] / 2**20))
PY
'
export ZORV_BENCH_DIR=$root/bench
exec "$root/tests/launcher/zorv_launch" --sim "$sim" -- bash -c "$inside" tcp_bench "$bench" "$@"
