#!/usr/bin/env bash
# run_udp_bench.sh [BUILD_DIR [BENCHMARK ARGS...]]
#
# Runs bench/udp_bench inside the test launcher: the simulator serves kvel0, and a
# python3 peer at 198.18.0.2 answers a datagram holding a number N on port 9001 with N
# datagrams of 64 bytes. Prints the machine, the benchmark's table and how many times
# cheaper zorvsock_udp_send is than the kernel's sendto for each size.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
(($# == 0)) || shift
bench=$build/bench/udp_bench
sim=$build/sim/zorvnic_sim
[[ -x $bench && -x $sim ]] || { echo "run_udp_bench.sh: build $bench and $sim first" >&2; exit 1; }

inside='
bench=$1
shift
zorv_peer python3 -c "
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((\"198.18.0.2\", 9001))
payload = bytes(64)
while True:
    ask, sender = s.recvfrom(64)
    for _ in range(int(ask)):
        s.sendto(payload, sender)
" &
for ((i = 0; i < 100; i++)); do
  zorv_peer ss -Hlun "sport = :9001" | grep -q 9001 && break
  sleep 0.05
done
echo "machine: $(nproc) CPUs, $(grep -m1 "model name" /proc/cpuinfo | cut -d: -f2 | sed "s/^ *//")"
"$bench" --benchmark_out=/tmp/udp_bench.json --benchmark_out_format=json "$@"
PYTHONPATH=$ZORV_BENCH_DIR python3 - <<PY
from bench_runs import figures
runs = {name: b["real_time"] for name, b in figures("/tmp/udp_bench.json").items()}
for size in ("64", "1472"):
    own, kernel = runs.get("zorvsock_send/" + size), runs.get("kernel_sendto/" + size)
    if own and kernel:
        print(f"{size:>5} bytes: zorvsock_udp_send {own:.1f} ns, sendto {kernel:.1f} ns, "
              f"{kernel / own:.1f} times cheaper")
receive = runs.get("zorvsock_receive")
if receive:
    print(f"zorvsock_udp_zc_receive + done: {receive:.1f} ns per datagram")
PY
'
export ZORV_BENCH_DIR=$root/bench
exec "$root/tests/launcher/zorv_launch" --sim "$sim" -- bash -c "$inside" udp_bench "$bench" "$@"
