#!/usr/bin/env bash
# run_tcp_bench.sh [BUILD_DIR [BENCHMARK ARGS...]]
#
# Runs bench/tcp_bench inside the test launcher: the simulator serves kvel0, and a
# python3 peer at 198.18.0.2 keeps a sink on port 9100 (reads and drops everything) and
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
zorv_peer python3 -c "
import socket, threading

def sink(conn):
    buf = bytearray(1 << 20)
    while conn.recv_into(buf):
        pass
    conn.close()

def source(conn):
    data = memoryview(bytes(1 << 20))
    while True:
        ask = b\"\"
        while len(ask) < 8:
            more = conn.recv(8 - len(ask))
            if not more:
                conn.close()
                return
            ask += more
        left = int.from_bytes(ask, \"little\")
        while left:
            n = min(left, len(data))
            conn.sendall(data[:n])
            left -= n

def serve(port, handler):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((\"198.18.0.2\", port))
    s.listen(8)
    while True:
        conn, _ = s.accept()
        threading.Thread(target=handler, args=(conn,), daemon=True).start()

threading.Thread(target=serve, args=(9100, sink), daemon=True).start()
serve(9101, source)
" &
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
for way in ("send", "receive"):
    own, kernel = runs.get("zorvsock_bulk_" + way), runs.get("kernel_bulk_" + way)
    if own and kernel:
        print("bulk %-7s: card %.0f MiB/s, kernel TCP %.0f MiB/s over the same simulated port"
              % (way, own["bytes_per_second"] / 2**20, kernel["bytes_per_second"] / 2**20))
PY
'
export ZORV_BENCH_DIR=$root/bench
exec "$root/tests/launcher/zorv_launch" --sim "$sim" -- bash -c "$inside" tcp_bench "$bench" "$@"
