#!/usr/bin/env bash
# run_redis_bench.sh [BUILD_DIR [ROUNDS [PARTS]]]
#
# Servers on the card beside the same servers on kernel sockets, in one run: each one
# twice on our side of the test launcher's simulated port kvel0 (198.18.0.1), preloaded
# with libzorvload, so that its connections are the card's, and plain, between the same
# namespaces; the clients run in the peer namespace. PARTS (default all three) chooses:
#   requests  redis-benchmark with 50 clients, without pipelining and with 16 requests a
#             pipeline: each test's requests per second side by side, and the card's share;
#   connect   50 clients connecting at once to redis-server (bench/connect_storm.py): the
#             seconds until the last is established and until the last PING is answered;
#   nginx     new connections a second: ab -n 20000 -c 50 without keep-alive against nginx.
# Each round runs every part chosen, kernel first; the machine is printed first.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)  # absolute: the servers run in another directory
rounds=${2:-1}
parts=${3:-requests connect nginx}
lib=$build/preload/libzorvload.so
sim=$build/sim/zorvnic_sim
[[ -x $sim && -f $lib ]] || { echo "run_redis_bench.sh: build $sim and $lib first" >&2; exit 1; }
for tool in redis-server nginx; do
  command -v $tool > /dev/null || { echo "run_redis_bench.sh: run scripts/deps first" >&2; exit 1; }
done

inside='
lib=$1 rounds=$2 parts=$3
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
nginx_start() {  # nginx_start PORT RUN...: an nginx serving a small page on our side
  local port=$1
  shift
  mkdir -p "nginx_$port/www" "nginx_$port/tmp"
  echo "a small page" > "nginx_$port/www/index.html"
  cat > "nginx_$port/nginx.conf" <<CONF
master_process off;
daemon off;
pid $PWD/nginx_$port/nginx.pid;
error_log $PWD/nginx_$port/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $PWD/nginx_$port/tmp;
  proxy_temp_path $PWD/nginx_$port/tmp;
  fastcgi_temp_path $PWD/nginx_$port/tmp;
  server { listen 198.18.0.1:$port; root $PWD/nginx_$port/www; }
}
CONF
  "$@" nginx -p "$PWD/nginx_$port" -c "$PWD/nginx_$port/nginx.conf" > "nginx_$port.log" 2>&1 &
  for _ in $(seq 100); do
    zorv_peer curl -s "http://198.18.0.1:$port/" 2>/dev/null | grep -q "small page" && return
    sleep 0.1
  done
  echo "nginx on port $port does not answer" >&2
  exit 1
}
if [[ $parts == *nginx* ]]; then
  nginx_start 8080 env
  nginx_start 8081 env NOTRACE=1 LD_PRELOAD="$lib"
fi
echo "machine: $(nproc) CPUs, $(grep -m1 "model name" /proc/cpuinfo | cut -d: -f2 | sed "s/^ *//")"
for ((round = 1; round <= rounds; round++)); do
  [[ $parts == *requests* ]] && for pipeline in 1 16; do
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
  if [[ $parts == *connect* ]]; then
    kernel=$(zorv_peer python3 "$ZORV_BENCH_DIR/connect_storm.py" 198.18.0.1 6379 50)
    card=$(zorv_peer python3 "$ZORV_BENCH_DIR/connect_storm.py" 198.18.0.1 6380 50)
    echo "round $round, 50 clients connecting at once, seconds until all connected, all answered:" \
      "kernel $kernel, card $card"
  fi
  if [[ $parts == *nginx* ]]; then
    rate() { zorv_peer ab -q -n 20000 -c 50 "http://198.18.0.1:$1/" | awk "/^Requests per second/ {print \$4}"; }
    kernel=$(rate 8080)
    card=$(rate 8081)
    echo "round $round, nginx, new connections a second (ab -n 20000 -c 50): kernel $kernel," \
      "card $card, card/kernel $(python3 -c "print(round($card / $kernel, 2))")"
  fi
done
# Proof that the card carried them: the SYNs its listeners took.
echo "simulator: $("$ZORV_SIM" ctl --ctl "$ZORV_SIM_CTL" counters | grep tcp_listen_queued)"
'
export ZORV_BENCH_DIR=$root/bench
exec "$root/tests/launcher/zorv_launch" --sim "$sim" -- bash -c "$inside" redis_bench "$lib" "$rounds" "$parts"
