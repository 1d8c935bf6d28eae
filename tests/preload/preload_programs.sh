#!/usr/bin/env bash
# Runs one scenario of ordinary programs talking over loopback or to the peer namespace.
# Every command of the program under test starts through $RUN ("env" without a preload
# library, "env LD_PRELOAD=..." with one), so that the output of a scenario can be
# compared between the two. Usage: preload_programs.sh SCENARIO PORT WORKDIR
set -uo pipefail
scenario=$1 port=$2 work=$3
RUN=${RUN:-env}
python=/usr/bin/python3  # Debian's own, not a wrapper script found first on PATH
peer() { nsenter --net="$ZORV_PEER_NETNS" "$@"; }
# peer_bg OUT CMD...: CMD in the peer namespace in the background, output to OUT; the
# pid recorded is the program's own, so that the clean-up reaches it.
peer_bg() {
  local out=$1
  shift
  nsenter --net="$ZORV_PEER_NETNS" "$@" > "$out" 2>&1 &
  pids+=($!)
}
cd "$work" || exit 1
printf 'zorvnic preload test data\nline two\n' > data.txt
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; }
trap cleanup EXIT

# wait_listen [peer] PORT: until something listens on the port (without connecting to it).
wait_listen() {
  local ns=() p
  [[ $1 == peer ]] && { ns=(nsenter --net="$ZORV_PEER_NETNS"); shift; }
  p=$1
  for _ in $(seq 200); do
    [[ -n $("${ns[@]}" ss -Hlntu "sport = :$p" 2>/dev/null) ]] && return 0
    sleep 0.05
  done
  echo "nothing listens on port $p" >&2
  return 1
}

http_server() {  # http_server [peer] ADDR
  if [[ $1 == peer ]]; then
    peer_bg /dev/null "$python" -m http.server "$port" --bind "$2"
    wait_listen peer "$port"
  else
    $RUN "$python" -m http.server "$port" --bind "$1" >/dev/null 2>&1 &
    pids+=($!)
    wait_listen "$port"
  fi
}

case $scenario in
  curl_lo)
    http_server 127.0.0.1
    $RUN curl -sS "http://127.0.0.1:$port/data.txt"
    ;;
  curl_peer)
    http_server peer 198.18.0.2
    $RUN curl -sS "http://198.18.0.2:$port/data.txt"
    ;;
  nc_lo)
    $RUN nc -l 127.0.0.1 "$port" > got.txt &
    pids+=($!)
    wait_listen "$port"
    $RUN nc -N 127.0.0.1 "$port" < data.txt
    wait "${pids[-1]}"
    cat got.txt
    $RUN nc -N -l 127.0.0.1 "$port" < data.txt &
    pids+=($!)
    wait_listen "$port"
    $RUN nc -d 127.0.0.1 "$port"
    ;;
  nc_peer)
    peer_bg got.txt nc -l 198.18.0.2 "$port"
    wait_listen peer "$port"
    $RUN nc -N 198.18.0.2 "$port" < data.txt
    wait "${pids[-1]}"
    cat got.txt
    $RUN nc -l 198.18.0.1 "$port" > got2.txt &
    pids+=($!)
    # A listener on the card is not in the kernel's tables: the peer tries until it gets in.
    for _ in $(seq 100); do
      peer nc -N 198.18.0.1 "$port" < data.txt 2>/dev/null && break
      sleep 0.1
    done
    wait "${pids[-1]}"
    cat got2.txt
    ;;
  asyncio)
    $RUN "$python" - "$port" <<'PY'
import asyncio, sys
port = int(sys.argv[1])
async def echo(reader, writer):
    data = await reader.readline()
    writer.write(data.upper())
    await writer.drain()
    writer.close()
async def main():
    server = await asyncio.start_server(echo, "127.0.0.1", port)
    async with server:
        for word in ("alpha", "beta", "gamma"):
            reader, writer = await asyncio.open_connection("127.0.0.1", port)
            writer.write(word.encode() + b"\n")
            await writer.drain()
            print((await reader.readline()).decode().strip())
            writer.close()
            await writer.wait_closed()
        loop = asyncio.get_running_loop()
        got = loop.create_future()
        class Receiver(asyncio.DatagramProtocol):
            def datagram_received(self, data, addr):
                got.set_result(data)
        recv_t, _ = await loop.create_datagram_endpoint(Receiver, local_addr=("127.0.0.1", port))
        send_t, _ = await loop.create_datagram_endpoint(asyncio.DatagramProtocol,
                                                        remote_addr=("127.0.0.1", port))
        send_t.sendto(b"datagram")
        print((await asyncio.wait_for(got, 5)).decode())
        send_t.close()
        recv_t.close()
asyncio.run(main())
PY
    ;;
  socat)
    $RUN socat -u "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr" OPEN:got.txt,creat,trunc &
    pids+=($!)
    wait_listen "$port"
    $RUN socat -u - "TCP:127.0.0.1:$port" < data.txt
    wait "${pids[-1]}"
    cat got.txt
    $RUN socat -u "UDP-RECV:$port,bind=127.0.0.1" OPEN:got2.txt,creat,trunc &
    pids+=($!)
    wait_listen "$port"
    echo "one datagram" | $RUN socat -u - "UDP-SENDTO:127.0.0.1:$port"
    for _ in $(seq 100); do [[ -s got2.txt ]] && break; sleep 0.05; done
    cat got2.txt
    peer_bg /dev/null socat -u "TCP-LISTEN:$port,bind=198.18.0.2,reuseaddr" OPEN:got3.txt,creat,trunc
    wait_listen peer "$port"
    $RUN socat -u - "TCP:198.18.0.2:$port" < data.txt
    wait "${pids[-1]}"
    cat got3.txt
    ;;
  devtcp)
    http_server 127.0.0.1
    $RUN bash -c 'exec 3<>/dev/tcp/127.0.0.1/'"$port"'
      printf "GET /data.txt HTTP/1.0\r\n\r\n" >&3
      sed -n "/^\r$/,\$p" <&3 | tail -n +2'
    ;;
  iperf3)
    summary() { "$python" -c 'import json,sys; r=json.load(sys.stdin)
print("iperf3", "error" in r, r["end"]["sum_received"]["bytes"] > 0)'; }
    $RUN iperf3 -s -1 -B 127.0.0.1 -p "$port" >/dev/null &
    pids+=($!)
    wait_listen "$port"
    $RUN iperf3 -c 127.0.0.1 -p "$port" -t 1 -J | summary
    wait "${pids[-1]}"
    peer_bg /dev/null iperf3 -s -1 -B 198.18.0.2 -p "$port"
    wait_listen peer "$port"
    $RUN iperf3 -c 198.18.0.2 -p "$port" -t 1 -J | summary
    ;;
  forking)
    $RUN "$python" - "$port" > server.txt <<'PY' &
import socketserver, sys
class Echo(socketserver.StreamRequestHandler):
    def handle(self):
        self.wfile.write(self.rfile.readline().upper())
class Server(socketserver.ForkingTCPServer):
    allow_reuse_address = True
with Server(("127.0.0.1", int(sys.argv[1])), Echo) as s:
    for _ in range(3):
        s.handle_request()
    s.server_close()
print("server done")
PY
    pids+=($!)
    wait_listen "$port"
    for word in one two three; do echo "$word" | $RUN nc -N 127.0.0.1 "$port"; done
    wait "${pids[-1]}"
    cat server.txt
    ;;
  *)
    echo "unknown scenario $scenario" >&2
    exit 2
    ;;
esac
