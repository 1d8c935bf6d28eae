#!/usr/bin/env bash
# run_poll_bench.sh [BUILD_DIR [BENCHMARK ARGS...]]
# run_epoll_bench.sh [BUILD_DIR [BENCHMARK ARGS...]]
#
# Runs bench/poll_bench (bench/epoll_bench, by the name the script is called by)
# preloaded with libzorvload inside the test launcher, where the simulator serves kvel0
# (198.18.0.1): one sweep of the emulated wait over card sockets beside the kernel's
# own call over as many kernel sockets, in one run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
(($# == 0)) || shift
program=$(basename "${BASH_SOURCE[0]}" .sh)
bench=$build/bench/${program#run_}
lib=$build/preload/libzorvload.so
[[ -x $bench && -f $lib ]] || { echo "$program.sh: build $bench and $lib first" >&2; exit 1; }
echo "machine: $(nproc) CPUs, $(grep -m1 "model name" /proc/cpuinfo | cut -d: -f2 | sed "s/^ *//")"
exec "$root/tests/launcher/zorv_launch" --sim "$build/sim/zorvnic_sim" -- \
  env NOTRACE=1 LD_PRELOAD="$lib" "$bench" "$@"
