# Steps shared by the scripts that run unmodified programs on our side against the Linux
# kernel and Debian's tools in the peer namespace; sourced, with $work the scenario's
# directory. Everything started with bg is ended when the script ends.
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
# wait_output FILE TEXT: until a program's output shows that it is ready. Listeners on
# the card are not in the kernel's tables, so their programs' own words tell.
wait_output() {
  for _ in $(seq 400); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "no \"$2\" in $1, which ends:" >&2
  tail -5 "$1" >&2
  return 1
}
# wait_listen [peer] tcp|udp PORT: until something listens on the port. A card socket's
# kernel twin holds its bound port, so our side's UDP sockets show here too.
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
