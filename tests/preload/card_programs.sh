#!/usr/bin/env bash
# Runs one scenario of an unmodified Debian program on our side, started through $RUN
# ("env LD_PRELOAD=..." to put it on the card), against the Linux kernel and Debian's
# tools in the peer namespace, and prints what each side received.
# Usage: card_programs.sh SCENARIO PORT WORKDIR
set -uo pipefail
scenario=$1 port=$2 work=$3
RUN=${RUN:-env}
python=/usr/bin/python3  # Debian's own, not a wrapper script found first on PATH
ours=198.18.0.1 theirs=198.18.0.2
peer() { nsenter --net="$ZORV_PEER_NETNS" "$@"; }
cd "$work" || exit 1
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; }
trap cleanup EXIT
# bg OUT CMD...: CMD in the background, output to OUT, its pid kept for the clean-up.
bg() {
  local out=$1
  shift
  "$@" > "$out" 2>&1 &
  pids+=($!)
}
# wait_listen [peer] tcp|udp PORT: until something listens on the port.
wait_listen() {
  local ns=()
  [[ $1 == peer ]] && { ns=(nsenter --net="$ZORV_PEER_NETNS"); shift; }
  local flag=$([[ $1 == udp ]] && echo -Hlnu || echo -Hlnt)
  for _ in $(seq 400); do
    [[ -n $("${ns[@]}" ss "$flag" "sport = :$2" 2>/dev/null) ]] && return 0
    sleep 0.05
  done
  echo "nothing listens on $1 port $2" >&2
  return 1
}
# Our side's listeners are the card's: the kernel's tables do not show them, so the
# peer tries until it gets through.
retry() {
  for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done
  return 1
}
# What a program received. The library announces its TX routine on standard error,
# which lands in files that hold a program's output and errors together: that line is
# not part of what was received.
received() { grep -v '^Using CPU feat:' "$1"; }
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
    sleep 1
    peer timeout 20 nc -u -q1 "$ours" "$port" < request.txt
    echo "peer nc rc=$?"
    wait "${pids[0]}"
    echo "we got: $(received got.txt)"
    ;;
  socat_client)  # the request piped in, the reply read back after our end of stream
    bg /dev/null peer timeout 20 socat TCP-LISTEN:"$port",bind="$theirs",reuseaddr EXEC:"${upper[*]}"
    wait_listen peer tcp "$port"
    echo "we got: $($RUN timeout 20 socat - TCP:"$theirs:$port" < request.txt)"
    ;;
  socat_server)
    bg /dev/null $RUN timeout 20 socat TCP-LISTEN:"$port",bind="$ours",reuseaddr EXEC:"${upper[*]}"
    sleep 0.2
    got=$(retry peer timeout 20 socat - TCP:"$ours:$port" < request.txt 2>/dev/null)
    echo "peer got: $got"
    ;;
  socat_udp_client)
    bg /dev/null peer timeout 20 socat UDP-RECVFROM:"$port",bind="$theirs",fork EXEC:"${upper[*]}"
    wait_listen peer udp "$port"
    echo "we got: $($RUN timeout 20 socat -t2 - UDP:"$theirs:$port" < request.txt)"
    ;;
  socat_udp_server)
    bg /dev/null $RUN timeout 20 socat UDP-RECVFROM:"$port",bind="$ours",fork EXEC:"${upper[*]}"
    sleep 1
    echo "peer got: $(peer timeout 20 socat -t2 - UDP:"$ours:$port" < request.txt)"
    ;;
  curl_client)  # a file from the peer's http.server, byte-exact
    head -c 16000000 /dev/urandom > big.bin
    bg /dev/null peer "$python" -m http.server "$port" --bind "$theirs"
    wait_listen peer tcp "$port"
    $RUN timeout 120 curl -sS -o fetched.bin "http://$theirs:$port/big.bin"
    echo "curl rc=$? $(cmp -s big.bin fetched.bin && echo same || echo differ)"
    ;;
  http_server)  # our python3 http.server, fetched by curl from the peer
    head -c 16000000 /dev/urandom > big.bin
    bg /dev/null $RUN "$python" -m http.server "$port" --bind "$ours"
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
