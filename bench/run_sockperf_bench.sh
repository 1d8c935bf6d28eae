#!/usr/bin/env bash
# run_sockperf_bench.sh [BUILD_DIR [ROUNDS [SECONDS]]]
#
# sockperf ping-pong latency over the card beside kernel sockets, in one run inside the
# test launcher, where the simulator serves kvel0 (198.18.0.1) and the peer namespace
# holds 198.18.0.2. Both ways, over UDP and TCP: our sockperf client, preloaded with
# libzorvload (card) or not (kernel sockets over the same simulated port), against a
# plain sockperf server in the peer; and our sockperf server, card or kernel, against a
# plain client in the peer. Card and kernel take turns, ROUNDS times (default 3), each
# run SECONDS long (default 5). Prints, per case, the median and the 99th percentile of
# the latency as sockperf reports it (half the round trip, in microseconds): the median
# of the rounds' figures.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
rounds=${2:-3} seconds=${3:-5}
lib=$build/preload/libzorvload.so sim=$build/sim/zorvnic_sim
[[ -x $sim && -f $lib ]] || { echo "run_sockperf_bench.sh: build $sim and $lib first" >&2; exit 1; }
command -v sockperf > /dev/null || { echo "run_sockperf_bench.sh: needs sockperf (scripts/deps)" >&2; exit 1; }

inside='
set -euo pipefail
lib=$1 rounds=$2 seconds=$3
ours=198.18.0.1 theirs=198.18.0.2
out=$(mktemp -d)
peer() { nsenter --net="$ZORV_PEER_NETNS" "$@"; }
# through SIDE: the words that start a program on our side through the card (empty for
# kernel sockets); started directly, a background program is the one that gets SIGINT.
through() { [[ $1 == card ]] && echo "env NOTRACE=1 LD_PRELOAD=$lib"; true; }
# serve WHERE SIDE FLAGS OUT: a sockperf server, ready when it says it waits for messages.
serve() {
  if [[ $1 == peer ]]; then
    nsenter --net="$ZORV_PEER_NETNS" sockperf sr -i "$theirs" $3 > "$4" 2>&1 &
  else
    $(through "$2") sockperf sr -i "$ours" $3 > "$4" 2>&1 &
  fi
  server=$!
  for _ in $(seq 400); do grep -qs "to block on socket" "$4" && return 0; sleep 0.05; done
  echo "sockperf server $1 $2 $3 not ready" >&2
  return 1
}
port=11000
for round in $(seq "$rounds"); do
  for proto in udp tcp; do
    flag=; [[ $proto == tcp ]] && flag=--tcp
    for side in card kernel; do
      for way in client server; do
        port=$((port + 1))
        log=$out/${way}_${proto}_${side}_$round
        if [[ $way == client ]]; then
          serve peer kernel "$flag -p $port" "$log.server"
          $(through "$side") sockperf pp -i "$theirs" -p "$port" $flag -t "$seconds" > "$log" 2>&1
        else
          serve ours "$side" "$flag -p $port" "$log.server"
          peer sockperf pp -i "$ours" -p "$port" $flag -t "$seconds" > "$log" 2>&1
        fi
        kill -INT "$server"
        wait "$server" || true
      done
    done
  done
done
echo "machine: $(nproc) CPUs, $(grep -m1 "model name" /proc/cpuinfo | cut -d: -f2 | sed "s/^ *//")"
echo "sockperf ping-pong, $rounds rounds of $seconds s, latency in us (half the round trip), median of rounds"
python3 - "$out" <<PY
import glob, re, statistics, sys
def figure(path, name):
    found = re.search(r"percentile %s = +([0-9.]+)" % name, open(path).read())
    return float(found.group(1)) if found else None
print("%-48s %10s %10s" % ("case", "median", "99th"))
for way, what in (("client", "our client, Linux sockperf server"),
                  ("server", "our server, Linux sockperf client")):
    for proto in ("udp", "tcp"):
        for side in ("card", "kernel"):
            logs = sorted(glob.glob("%s/%s_%s_%s_*[0-9]" % (sys.argv[1], way, proto, side)))
            cells = []
            for name in ("50.000", "99.000"):
                got = [f for f in (figure(p, name) for p in logs) if f is not None]
                cells.append("%10.1f" % statistics.median(got) if got else "%10s" % "none")
            print("%-48s %s" % ("%s %s, %s" % (proto.upper(), side, what), " ".join(cells)))
PY
rm -rf "$out"
'
exec "$root/tests/launcher/zorv_launch" --sim "$sim" -- bash -c "$inside" sockperf_bench "$lib" "$rounds" "$seconds"
