#!/usr/bin/env bash
# run_loss_bench.sh [BUILD_DIR [BENCHMARK ARGS...]]
#
# Runs bench/tcp_loss_bench inside the test launcher: a 16 MiB echo through the card and
# by kernel TCP (SACK and timestamps switched off on both sides, as our TCP offers
# neither) over the same simulated port, with 2 and 5 % of the frames lost on the peer's
# side alone or both ways. Prints the machine, the benchmark's output and a table of
# the times; a cell that did not finish within 120 s shows what had been echoed by then
# (and the error of the call that failed, if one did).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
(($# == 0)) || shift
bench=$build/bench/tcp_loss_bench
sim=$build/sim/zorvnic_sim
[[ -x $bench && -x $sim ]] || { echo "run_loss_bench.sh: build $bench and $sim first" >&2; exit 1; }

inside='
bench=$1
shift
for side in "" zorv_peer; do
  $side sysctl -q -w net.ipv4.tcp_sack=0 net.ipv4.tcp_timestamps=0
done
echo "machine: $(nproc) CPUs, $(grep -m1 "model name" /proc/cpuinfo | cut -d: -f2 | sed "s/^ *//")"
"$bench" --benchmark_out=/tmp/tcp_loss_bench.json --benchmark_out_format=json "$@"
python3 - <<PY
import json
runs = {}
for b in json.load(open("/tmp/tcp_loss_bench.json"))["benchmarks"]:
    kind, loss, both = b["name"].split("/")[:3]
    runs[(kind, loss.split(":")[1], both.split(":")[1])] = b

def cell(b):
    if b is None:
        return "-"
    if b.get("error_occurred"):
        return "skipped: " + b.get("error_message", "")
    if b["finished"]:
        return "%.1f s" % b["seconds"]
    # Past the cap, a send still running ends when the echo server gives up.
    if b["error"] and b["seconds"] < 120:
        return "failed, %d after %.1f s (%.1f MiB echoed)" % (b["error"], b["seconds"], b["echoed_MiB"])
    return "> 120 s (%.1f MiB echoed)" % b["echoed_MiB"]

print()
print("| loss | card | Linux, no SACK, no timestamps | Linux / card |")
print("|---|---|---|---|")
for loss in ("20", "50"):
    for both in ("0", "1"):
        own, kernel = runs.get(("card_echo", loss, both)), runs.get(("kernel_echo", loss, both))
        ratio = "-"
        if own and kernel and own.get("finished") and "finished" in kernel:
            t = kernel["seconds"] if kernel["finished"] else 120.0
            ratio = ("%.2f" if kernel["finished"] else "> %.2f") % (t / own["seconds"])
        where = "both ways" if both == "1" else "from the peer"
        print("| %d %% %s | %s | %s | %s |" % (int(loss) // 10, where, cell(own), cell(kernel), ratio))
PY
'
exec "$root/tests/launcher/zorv_launch" --sim "$sim" -- bash -c "$inside" tcp_loss_bench "$bench" "$@"
