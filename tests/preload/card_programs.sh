#!/usr/bin/env bash
# Runs one scenario of an unmodified Debian program on our side, started through $RUN
# ("env LD_PRELOAD=..." to put it on the card), against the Linux kernel and Debian's
# tools in the peer namespace, and prints what each side received.
# Usage: card_programs.sh SCENARIO PORT WORKDIR
set -uo pipefail
scenario=$1 port=$2 work=$3
RUN=${RUN:-env}
source "$(dirname "${BASH_SOURCE[0]}")/program_steps.sh"
group=239.1.2.3
# feed_group: the peer sends the request to the group until our receiver (the first
# program started) has ended, whose exit status follows.
feed_group() {
  wait_listen udp "$port"
  while kill -0 "${pids[0]}" 2>/dev/null; do
    peer socat -u - UDP4-DATAGRAM:"$group:$port",ip-multicast-if="$theirs" < request.txt
    sleep 0.2
  done
  wait "${pids[0]}"
  echo "rc=$?"
}
request="a request from one side"
reply="the reply from the other side"
printf '%s\n' "$request" > request.txt
printf '%s\n' "$reply" > reply.txt
upper=(tr a-z A-Z)

case $scenario in
  nc_client)  # our nc ends its stream after the request (-N), the reply comes after it
    bg /dev/null peer timeout 20 socat TCP-LISTEN:"$port",bind="$theirs",reuseaddr EXEC:"${upper[*]}"
    wait_listen peer tcp "$port"
    $RUN timeout 20 nc -N "$theirs" "$port" < request.txt > got.txt
    echo "nc rc=$?"
    echo "we got: $(received got.txt)"
    ;;
  nc_server)  # our nc listens: the peer's request ends with its FIN (-N), then ours (-N)
    $RUN timeout 20 nc -l "$ours" "$port" < /dev/null > got.txt &
    pids+=($!)
    sleep 0.2
    retry peer timeout 20 nc -N "$ours" "$port" < request.txt 2>/dev/null
    echo "peer nc rc=$?"
    wait "${pids[0]}"
    echo "nc rc=$? we got: $(received got.txt)"
    $RUN timeout 20 nc -l -N "$ours" "$((port + 1))" < reply.txt > /dev/null &
    pids+=($!)
    sleep 0.2
    retry peer timeout 20 nc -d "$ours" "$((port + 1))" > peer_got.txt 2>/dev/null
    echo "peer nc rc=$?"
    wait "${pids[1]}"
    echo "nc rc=$? peer got: $(received peer_got.txt)"
    ;;
  nc_udp_client)
    bg peer_got.txt peer timeout 3 nc -u -l "$theirs" "$port"
    wait_listen peer udp "$port"
    $RUN timeout 20 nc -u -q1 "$theirs" "$port" < request.txt
    echo "nc rc=$?"
    wait "${pids[0]}"
    echo "peer got: $(received peer_got.txt)"
    ;;
  nc_udp_server)
    bg got.txt $RUN timeout 4 nc -u -l "$ours" "$port"
    wait_listen udp "$port"
    peer timeout 20 nc -u -q1 "$ours" "$port" < request.txt
    echo "peer nc rc=$?"
    wait "${pids[0]}"
    echo "we got: $(received got.txt)"
    ;;
  socat_client)  # the request piped in, the reply read back after our end of stream
    bg /dev/null peer timeout 20 socat TCP-LISTEN:"$port",bind="$theirs",reuseaddr EXEC:"${upper[*]}"
    wait_listen peer tcp "$port"
    # -t: after our end of stream socat waits this long for the reply's (0.5 s by default,
    # which a busy machine's peer may need to start its EXEC).
    echo "we got: $($RUN timeout 20 socat -t10 - TCP:"$theirs:$port" < request.txt)"
    ;;
  socat_server)  # -t10: our socat waits for the answer of a preloaded (sanitized) tr
    bg /dev/null $RUN timeout 20 socat -t10 TCP-LISTEN:"$port",bind="$ours",reuseaddr EXEC:"${upper[*]}"
    sleep 0.2
    got=$(retry peer timeout 20 socat -t10 - TCP:"$ours:$port" < request.txt 2>/dev/null)
    echo "peer got: $got"
    ;;
  socat_udp_client)
    bg /dev/null peer timeout 20 socat UDP-RECVFROM:"$port",bind="$theirs",fork EXEC:"${upper[*]}"
    wait_listen peer udp "$port"
    echo "we got: $($RUN timeout 20 socat -t2 - UDP:"$theirs:$port" < request.txt)"
    ;;
  socat_udp_server)
    # One datagram served by socat itself (a card socket stays with the process that
    # made it: a forked child could not answer on it); socat and the peer wait for tr's
    # answer as long as a preloaded, sanitized tr may take to start.
    bg /dev/null $RUN timeout 20 socat -t10 UDP-RECVFROM:"$port",bind="$ours" EXEC:"${upper[*]}"
    wait_listen udp "$port"
    echo "peer got: $(peer timeout 20 socat -t10 - UDP:"$ours:$port",readbytes="$(wc -c < request.txt)" < request.txt)"
    ;;
  socat_mcast_recv_address | socat_mcast_recv_index)
    # Our socat joins the group by the interface's address or its name (index); the
    # peer sends to the group until ours has taken one datagram.
    [[ $scenario == *address ]] && on=$ours || on=kvel0
    bg got.txt $RUN timeout 20 socat -u \
      UDP4-RECV:"$port",ip-add-membership="$group:$on",readbytes="$(wc -c < request.txt)" -
    feed_group
    echo "we got: $(received got.txt)"
    ;;
  socat_mcast_send | socat_mcast_send_bound)
    # Our socat sends to the group on the card interface, by sendto; the bound one
    # connects its socket to the group. The peer shows the TTL the datagram came with
    # (and, from the bound socket, its source port).
    strip='s/ port=[0-9]*//' opts=ip-multicast-ttl=5 kind=UDP4-DATAGRAM
    [[ $scenario == *bound ]] && strip="s/ port=$((port + 1))$/ from the bound port/" \
      opts=bind="$ours:$((port + 1))" kind=UDP4
    bg peer_got.txt peer timeout 20 socat -u -T1 \
      UDP4-RECVFROM:"$port",ip-add-membership="$group:$theirs",ip-recvttl \
      SYSTEM:'echo "ttl=$SOCAT_IP_TTL port=$SOCAT_PEERPORT"; cat'
    wait_listen peer udp "$port"
    $RUN timeout 20 socat -u - "$kind:$group:$port",ip-multicast-if="$ours","$opts" \
      < request.txt
    echo "rc=$?"
    wait "${pids[0]}"
    received peer_got.txt | sed -e "$strip" -e "s/^/peer got: /"
    ;;
  mcast_fallback)
    # Our python3 joins the group on the card and takes a datagram there; then an
    # option the card cannot serve hands the socket to the kernel, whose twin socket is
    # bound and a member already: the group's datagrams still arrive.
    cat > member.py <<PY
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
join = socket.inet_aton("$group") + socket.inet_aton("$ours")
s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, join)
s.bind(("", $port))
print("first:", s.recv(100).decode().strip(), flush=True)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
print("on the kernel:", s.recv(100).decode().strip(), flush=True)
PY
    bg got.txt $RUN timeout 40 "$python" member.py
    feed_group
    received got.txt
    ;;
  mcast_recv_bind_any_join | mcast_recv_bind_group_join | mcast_recv_join_bind | \
    mcast_recv_bind_any_join_index)
    # Our python3 receives the group in one of the common ways: bind to any address and
    # join (by the interface's address, or by its index), bind to the group and join, or
    # join and then bind to any address.
    cat > receiver.py <<PY
import socket, struct
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
by_address = socket.inet_aton("$group") + socket.inet_aton("$ours")
by_index = struct.pack("4s4si", socket.inet_aton("$group"), bytes(4), socket.if_nametoindex("kvel0"))
join = lambda how: s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, how)
way = "${scenario#mcast_recv_}"
if way == "join_bind":
    join(by_address)
s.bind(("$group" if way == "bind_group_join" else "", $port))
if way != "join_bind":
    join(by_index if way.endswith("index") else by_address)
print("got:", s.recv(100).decode().strip(), flush=True)
PY
    bg got.txt $RUN timeout 40 "$python" receiver.py
    feed_group
    received got.txt
    ;;
  silent_client)
    # Our python3 event loop (poll) serves a listener. A client of the peer's that sends
    # its SYN and never completes the handshake (the peer's firewall drops our answer
    # to it) must neither wake the loop nor stall it: the client behind it is served.
    silent=$((port + 1))
    cat > server.py <<PY
import selectors, socket, time
s = socket.socket()
s.bind(("$ours", $port))
s.listen(8)
s.setblocking(False)
loop = selectors.PollSelector()
loop.register(s, selectors.EVENT_READ)
print("listening", flush=True)
end = time.monotonic() + 30
while time.monotonic() < end:
    if not loop.select(1):
        continue
    t = time.monotonic()
    try:
        c, _ = s.accept()
    except BlockingIOError:
        print("readable, but accept would wait")
        continue
    took = "at once" if time.monotonic() - t < 1 else "after a wait"
    c.setblocking(True)
    print("accepted", took, "and got:", c.recv(100).decode().strip())
    break
PY
    bg got.txt $RUN timeout 40 "$python" server.py
    for _ in $(seq 400); do grep -qs listening got.txt && break; sleep 0.05; done
    peer nft -f - <<NFT
table ip silent$port {
  chain in {
    type filter hook input priority 0;
    tcp sport $port tcp dport $silent drop
  }
}
NFT
    bg /dev/null peer timeout 10 socat /dev/null TCP:"$ours:$port",sourceport="$silent"
    sleep 0.5
    retry peer timeout 20 socat -t10 - TCP:"$ours:$port" < request.txt 2>/dev/null
    wait "${pids[0]}"
    echo "rc=$?"
    peer nft delete table ip silent$port
    received got.txt
    ;;
  curl_client)  # a file from the peer's http.server, byte-exact
    head -c 16000000 /dev/urandom > big.bin
    bg /dev/null peer "$python" -m http.server "$port" --bind "$theirs"
    wait_listen peer tcp "$port"
    $RUN timeout 120 curl -sS -o fetched.bin "http://$theirs:$port/big.bin"
    echo "curl rc=$? $(cmp -s big.bin fetched.bin && echo same || echo differ)"
    ;;
  http_server | http_server_any)  # our python3 http.server, fetched by curl from the peer
    # http_server_any binds any address, as most servers do: it is the card's only with
    # ZORVLOAD_BIND_INTERFACE naming the card's address.
    head -c 16000000 /dev/urandom > big.bin
    bind=$ours
    [[ $scenario == *any ]] && bind=0.0.0.0
    bg /dev/null $RUN "$python" -m http.server "$port" --bind "$bind"
    sleep 0.5
    retry peer timeout 120 curl -sS -o fetched.bin "http://$ours:$port/big.bin" 2>/dev/null
    echo "peer curl rc=$? $(cmp -s big.bin fetched.bin && echo same || echo differ)"
    ;;
  iperf3_* | sockperf_*)
    . "$(dirname "${BASH_SOURCE[0]}")/perf_programs.sh"
    ;;
  *)
    echo "unknown scenario $scenario" >&2
    exit 2
    ;;
esac
