#!/usr/bin/env bash
# Runs one scenario of an unmodified event-driven program (redis, nginx, memcached,
# sockperf, python3's asyncio) on our side, started through $RUN ("env LD_PRELOAD=..." to
# put it on the card), against the Linux kernel and Debian's tools in the peer namespace.
# Each scenario checks what came back and prints lines that are the same on every good run.
# Usage: event_programs.sh SCENARIO PORT WORKDIR
set -uo pipefail
scenario=$1 port=$2 work=$3
RUN=${RUN:-env}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/program_steps.sh"
echo_py=("$python" "$here/asyncio_echo.py")

# stop PID NAME: SIGTERM to a program we started, which must end within 20 s.
stop() {
  kill -TERM "$1"
  for _ in $(seq 200); do
    kill -0 "$1" 2>/dev/null || { wait "$1"; echo "$2 ended on SIGTERM, rc=$?"; return; }
    sleep 0.1
  done
  echo "$2 still runs 20 s after SIGTERM"
}

# redis_bench ARGS...: redis-benchmark from the peer; the tests it ran, and any error.
redis_bench() {
  peer timeout 600 redis-benchmark -h "$ours" -p "$port" -q -n 100000 -c 50 \
    -t set,get,lpush,lrange "$@" > bench.txt 2>&1
  local rc=$?
  echo "redis-benchmark $* rc=$rc:" \
    "$(tr '\r' '\n' < bench.txt | grep 'requests per second' | cut -d: -f1 | paste -sd,)"
  tr '\r' '\n' < bench.txt | grep -i 'error' | sort -u | head -5
}

# feed tcp|udp ADDR: sockperf's list of connections, the one to ADDR and $port.
feed() {
  local p=${1:0:1}
  echo "${p^^}:$2:$port" > "feed_$1.txt"
}

# ping_pong tcp|udp CMD...: a sockperf client's run, which must end with its summary.
ping_pong() {
  local proto=$1
  shift
  "$@" > "client_$proto.txt" 2>&1
  local rc=$?
  grep -q 'Summary: Latency is' "client_$proto.txt" || return 1
  echo "$proto ping-pong rc=$rc, $(grep -o 'dropped messages = [0-9]*' "client_$proto.txt")"
}

# nginx_conf on|off: nginx.conf of one server on our address serving www, sendfile as said.
nginx_conf() {
  cat > nginx.conf <<CONF
master_process off;
daemon off;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile $1;
  client_body_temp_path $work/tmp;
  proxy_temp_path $work/tmp;
  fastcgi_temp_path $work/tmp;
  server { listen $ours:$port; root $work/www; }
}
CONF
}

# same A B WHAT: whether two files hold the same bytes.
same() { echo "$3: $(cmp -s "$1" "$2" && echo same || echo differ)"; }

case $scenario in
  redis_server)  # redis-benchmark from the peer, then a 10 MiB value set and read back
    bg redis.log $RUN timeout 900 redis-server --bind "$ours" --port "$port" --save '' \
      --appendonly no --protected-mode no --dir "$work"
    pid=${pids[-1]}
    retry peer redis-cli -h "$ours" -p "$port" ping > /dev/null 2>&1 || cat redis.log
    redis_bench
    redis_bench -P 16
    head -c 10485760 /dev/urandom > value.bin
    echo "set: $(peer timeout 120 redis-cli -h "$ours" -p "$port" -x set big < value.bin)"
    peer timeout 120 redis-cli -h "$ours" -p "$port" --raw get big | head -c -1 > got.bin
    same value.bin got.bin "10 MiB value read back"
    echo "sha256 equal: $([[ $(sha256sum < value.bin) == $(sha256sum < got.bin) ]] && echo yes)"
    stop "$pid" redis-server
    ;;
  nginx_server)  # a 100 MB file to curl, a wrk load, then SIGTERM
    mkdir -p www tmp
    head -c 100000000 /dev/urandom > www/big.bin
    echo "a small page" > www/index.html
    nginx_conf off
    bg nginx.out $RUN timeout 900 nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log"
    pid=${pids[-1]}
    retry peer curl -sS -o index.html "http://$ours:$port/index.html" 2> /dev/null
    same www/index.html index.html "small page"
    peer timeout 300 curl -sS -o big.bin "http://$ours:$port/big.bin"
    echo "curl rc=$?"
    same www/big.bin big.bin "100 MB file"
    peer timeout 60 wrk -t 2 -c 50 -d 3s "http://$ours:$port/index.html" > wrk.txt 2>&1
    echo "wrk rc=$? requests: $(grep -c ' requests in ' wrk.txt)," \
      "errors: $(grep -cE 'Socket errors|Non-2xx' wrk.txt)"
    stop "$pid" nginx
    echo "nginx alerts: $(grep -cE '\[(alert|emerg|crit)\]' error.log)"
    ;;
  asyncio_tcp_server)  # our asyncio server, the peer's asyncio client with 8 connections
    bg server.txt $RUN timeout 120 "${echo_py[@]}" tcp_server "$ours" "$port" 8
    retry peer timeout 120 "${echo_py[@]}" tcp_client "$ours" "$port" 8 2> /dev/null
    wait "${pids[-1]}"
    echo "server rc=$? $(received server.txt)"
    ;;
  asyncio_tcp_client)
    bg server.txt peer timeout 120 "${echo_py[@]}" tcp_server "$theirs" "$port" 8
    wait_listen peer tcp "$port"
    $RUN timeout 120 "${echo_py[@]}" tcp_client "$theirs" "$port" 8 2>&1 | received /dev/stdin
    wait "${pids[-1]}"
    echo "peer server rc=$? $(cat server.txt)"
    ;;
  uvloop_tcp_server)  # the asyncio server on uvloop's loop, the peer's 8 connections
    bg server.txt $RUN timeout 120 "${echo_py[@]}" uvloop_tcp_server "$ours" "$port" 8
    retry peer timeout 120 "${echo_py[@]}" tcp_client "$ours" "$port" 8 2> /dev/null
    wait "${pids[-1]}"
    echo "server rc=$? $(received server.txt)"
    ;;
  node_http_server)  # node's HTTP server: an 8 MiB body to curl, a small one to ab
    head -c 8388608 /dev/urandom > body.bin
    cat > server.js <<JS
const fs = require("fs");
const http = require("http");
const big = fs.readFileSync("$work/body.bin");
http.createServer((req, res) => {
  const body = req.url === "/big" ? big : Buffer.from("a small page\\n");
  res.writeHead(200, { "Content-Length": body.length });
  res.end(body);
}).listen($port, "$ours", () => console.log("listening"));
JS
    bg node.out $RUN timeout 900 node server.js
    pid=${pids[-1]}
    wait_output node.out listening
    peer timeout 120 curl -sS -o got.bin "http://$ours:$port/big"
    echo "curl rc=$?"
    same body.bin got.bin "8 MiB body"
    peer timeout 600 ab -q -n 2000 -c 20 "http://$ours:$port/small" > ab.txt 2>&1
    echo "ab rc=$? $(grep -E '^(Complete|Failed) requests' ab.txt | tr -s ' ' | paste -sd,)"
    stop "$pid" node
    echo "internal errors: $(grep -c 'Internal error' node.out)"
    ;;
  lighttpd_server)  # lighttpd's default backend (sendfile): a 4 MiB file to curl
    mkdir -p www
    head -c 4194304 /dev/urandom > www/big.bin
    cat > lighttpd.conf <<CONF
server.document-root = "$work/www"
server.bind = "$ours"
server.port = $port
server.errorlog = "$work/lighttpd.err"
CONF
    bg lighttpd.out $RUN timeout 900 lighttpd -D -f lighttpd.conf
    pid=${pids[-1]}
    retry peer timeout 120 curl -sS -o big.bin "http://$ours:$port/big.bin" 2> /dev/null
    same www/big.bin big.bin "4 MiB file"
    stop "$pid" lighttpd
    ;;
  nginx_sendfile)  # nginx with sendfile on: a 4 MiB file to curl
    mkdir -p www tmp
    head -c 4194304 /dev/urandom > www/big.bin
    nginx_conf on
    bg nginx.out $RUN timeout 900 nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log"
    pid=${pids[-1]}
    retry peer timeout 120 curl -sS -o big.bin "http://$ours:$port/big.bin" 2> /dev/null
    same www/big.bin big.bin "4 MiB file"
    stop "$pid" nginx
    echo "nginx alerts: $(grep -cE '\[(alert|emerg|crit)\]' error.log)"
    ;;
  asyncio_udp_server)
    bg server.txt $RUN timeout 120 "${echo_py[@]}" udp_server "$ours" "$port"
    peer timeout 120 "${echo_py[@]}" udp_client "$ours" "$port" 200
    wait "${pids[-1]}"
    echo "server rc=$? $(received server.txt)"
    ;;
  asyncio_udp_client)
    bg server.txt peer timeout 120 "${echo_py[@]}" udp_server "$theirs" "$port"
    wait_listen peer udp "$port"
    $RUN timeout 120 "${echo_py[@]}" udp_client "$theirs" "$port" 200 2>&1 | received /dev/stdin
    wait "${pids[-1]}"
    echo "peer server rc=$? $(cat server.txt)"
    ;;
  memcached_server)  # four worker threads, TCP and UDP on one port, the peer's client
    bg memcached.log $RUN timeout 300 memcached -t 4 -l "$ours" -p "$port" -U "$port" -u root -m 64
    pid=${pids[-1]}
    peer timeout 200 "$python" "$here/memcached_client.py" "$ours" "$port" 8
    echo "client rc=$?"
    stop "$pid" memcached
    ;;
  sockperf_server)  # our sockperf server (epoll), ping-pong from the peer over TCP and UDP
    for proto in tcp udp; do
      feed "$proto" "$ours"
      bg "server_$proto.txt" $RUN timeout 120 sockperf server -f "feed_$proto.txt" -F e
      pid=${pids[-1]}
      # One run once the server waits: a retried run that the server never answers would
      # hold the test for its whole limit.
      wait_output "server_$proto.txt" "to block on socket"
      ping_pong "$proto" peer timeout 60 sockperf ping-pong -f "feed_$proto.txt" -t 2
      stop "$pid" "$proto sockperf server"
      port=$((port + 1))
    done
    ;;
  sockperf_client)  # the peer's sockperf server, our ping-pong (epoll) over TCP and UDP
    for proto in tcp udp; do
      feed "$proto" "$theirs"
      bg /dev/null peer timeout 120 sockperf server -f "feed_$proto.txt"
      wait_listen peer "$proto" "$port"
      ping_pong "$proto" $RUN timeout 60 sockperf ping-pong -f "feed_$proto.txt" -F e -t 2
      port=$((port + 1))
    done
    ;;
  *)
    echo "unknown scenario $scenario" >&2
    exit 2
    ;;
esac
