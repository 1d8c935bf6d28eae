// Initial sequence numbers as RFC 6528 chooses them: a clock that ticks every 4 µs
// plus a keyed hash of the connection's addresses and ports. A new connection on the
// 4-tuple of one that ended moments before starts above everything the old one sent,
// so a peer that still holds the old one in TIME_WAIT takes the new SYN; a blind
// attacker who does not know the key cannot guess the number.
#pragma once
#include <cstdint>

namespace vyxtcp {

// The connection's addresses and ports, in host order.
struct tcp_four_tuple {
  uint32_t local_ip;
  uint32_t remote_ip;
  uint16_t local_port;
  uint16_t remote_port;
};

// The keyed hash (SipHash-2-4 over the 12 bytes of the tuple).
uint64_t tcp_isn_hash(const uint64_t key[2], const tcp_four_tuple& t);

// The ISN for the tuple at `now_ns` (CLOCK_MONOTONIC), with the process's key.
uint32_t tcp_isn_at(const uint64_t key[2], const tcp_four_tuple& t, int64_t now_ns);

// The ISN for the tuple now. The key is drawn from the system's random bytes once per
// process; -1 when they cannot be read (nothing is chosen then).
int tcp_choose_isn(const tcp_four_tuple& t, uint32_t* isn);

}  // namespace vyxtcp
