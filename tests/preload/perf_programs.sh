# Sourced by card_programs.sh for its iperf3_* and sockperf_* scenarios: iperf3 and
# sockperf on our side against the same program in the peer namespace. Each side's
# results are reduced (program_results.py) to what a run over the card must share with
# the same run over kernel sockets: the figures themselves differ from run to run.
here=$(dirname "${BASH_SOURCE[0]}")

# in_peer OUT CMD...: CMD in the peer namespace in the background, output to OUT; the pid
# kept is the program's own (nsenter executes it), so that signals reach it.
in_peer() {
  local out=$1
  shift
  nsenter --net="$ZORV_PEER_NETNS" "$@" > "$out" 2>&1 &
  pids+=($!)
}
# ours_bg OUT CMD...: CMD on our side through $RUN in the background, output to OUT.
ours_bg() {
  local out=$1
  shift
  $RUN "$@" > "$out" 2>&1 &
  pids+=($!)
}
# watch_closed PORT...: the peer's kernel reports each TCP connection on these ports as it
# ends, with its tcp_info (the bytes it received and had acknowledged), into closed.txt;
# ready once the report's socket has joined the kernel's group of such reports.
watch_closed() {
  in_peer closed.txt stdbuf -oL ss -EHtni "( sport = :$1 or sport = :$2 or dport = :$1 or dport = :$2 )"
  for _ in $(seq 400); do
    peer awk '$2 == 4 && $4 != "00000000" { f = 1 } END { exit !f }' /proc/net/netlink && return 0
    sleep 0.05
  done
  echo "no report of closed connections" >&2
  return 1
}
# wait_closed FIELD COUNT: until closed.txt reports COUNT connections with FIELD.
wait_closed() {
  for _ in $(seq 400); do
    (($(grep -c "$1:" closed.txt) >= $2)) && return 0
    sleep 0.05
  done
  echo "closed.txt reports fewer than $2 connections with $1" >&2
  return 1
}
# wait_settled PORT...: until the peer holds no TCP connection on these ports that still
# has a stream to finish (a server reading to the end, a client waiting for our FIN).
wait_settled() {
  local filter="( sport = :$1 or sport = :$2 or dport = :$1 or dport = :$2 )"
  for _ in $(seq 400); do
    [[ -z $(peer ss -Htn state established state close-wait state fin-wait-1 \
      state fin-wait-2 state last-ack state closing "$filter") ]] && return 0
    sleep 0.05
  done
  echo "streams on ports $1 and $2 never ended" >&2
  return 1
}
# stop PID: SIGINT, on which the servers print their totals, then its status.
stop() {
  kill -INT "$1" 2>/dev/null
  wait "$1"
  echo "server rc=$?"
}

# Datagrams the kernels of both sides dropped for want of room in a socket's buffer.
overflows() {
  local count='/^Udp:/ { n++ } /^Udp:/ && n == 2 { print $6 }'
  echo $(($(awk "$count" /proc/net/snmp) + $(peer awk "$count" /proc/net/snmp)))
}

# iperf3_<tcp|udp>[_reverse]_<client|server>: our iperf3 is the client or the one-off
# server; 4 MiB over TCP from the client, or from the server with -R. Over UDP 2 MiB, in
# fewer datagrams than a receive ring holds, so that a busy receiver loses none.
iperf3_scenario() {
  local parts=(${scenario//_/ }) size=4194304
  [[ ${parts[1]} == udp ]] && size=2097152
  local args=(-n "$size" -J) side=${parts[-1]}
  [[ ${parts[1]} == udp ]] && args+=(-u -b 40M)
  [[ ${parts[2]} == reverse ]] && args+=(-R)
  local before
  before=$(overflows)
  if [[ $side == client ]]; then
    in_peer server.txt timeout 60 iperf3 -s -1 -B "$theirs" -p "$port"
    wait_listen peer tcp "$port"
    $RUN timeout 60 iperf3 -c "$theirs" -p "$port" "${args[@]}" > client.json 2> client.err
  else
    ours_bg server.txt timeout 60 iperf3 -s -1 --forceflush -B "$ours" -p "$port"
    wait_output server.txt "Server listening"
    peer timeout 60 iperf3 -c "$ours" -p "$port" "${args[@]}" > client.json 2> client.err
  fi
  echo "client rc=$?"
  wait "${pids[0]}"
  echo "server rc=$? errors: $(grep -ci error server.txt)"
  "$python" "$here/program_results.py" iperf3 client.json "$size" \
    "$(($(overflows) - before))"
}

# sockperf_<pp|tp>_<udp|tcp>_<select|poll>_<client|server>: ping-pong or throughput for
# a second over the two sockets of a feed file, waited on with select or poll; with
# "blocking" in place of the wait, over one socket in blocking calls (the server's
# recvfrom, or accept and recv, ended by SIGINT).
sockperf_scenario() {
  local parts=(${scenario//_/ })
  local mode=${parts[1]} kind=${parts[2]} wait=${parts[3]} side=${parts[4]}
  local at=$theirs
  [[ $side == server ]] && at=$ours
  local letter=U
  [[ $kind == tcp ]] && letter=T
  local sockets=(-f feed.txt -F "${wait:0:1}")
  printf '%s:%s:%d\n' "$letter" "$at" "$port" "$letter" "$at" "$((port + 1))" > feed.txt
  if [[ $wait == blocking ]]; then
    sockets=(-i "$at" -p "$port")
    [[ $kind == tcp ]] && sockets+=(--tcp)
  fi
  local server=(timeout 60 sockperf sr "${sockets[@]}")
  local client=(timeout 60 sockperf "$mode" "${sockets[@]}" -t 1)
  [[ $mode == pp ]] && client+=(--data-integrity)
  # A TCP throughput run's streams are measured by the peer's kernel: what it received
  # from our client, or what it sent to our server and saw acknowledged.
  local stream=()
  [[ $mode$kind == tptcp ]] && stream=(closed.txt bytes_received)
  [[ $mode$kind$side == tptcpserver ]] && stream[1]=bytes_acked
  if [[ $side == client ]]; then
    in_peer server.txt "${server[@]}"
    wait_listen peer "$kind" "$port"
    ((${#stream[@]})) && watch_closed "$port" "$((port + 1))"
    $RUN "${client[@]}" > client.txt 2>&1
  else
    ours_bg server.txt "${server[@]}"
    wait_output server.txt "to block on socket"
    ((${#stream[@]})) && watch_closed "$port" "$((port + 1))"
    peer "${client[@]}" > client.txt 2>&1
  fi
  echo "client rc=$?"
  [[ $kind == tcp ]] && wait_settled "$port" "$((port + 1))"
  ((${#stream[@]})) && wait_closed "${stream[1]}" 2
  stop "${pids[0]}"
  "$python" "$here/program_results.py" sockperf client.txt server.txt "$mode" "$kind" \
    "${stream[@]}"
}

case $scenario in
  iperf3_*) iperf3_scenario ;;
  sockperf_*) sockperf_scenario ;;
esac
