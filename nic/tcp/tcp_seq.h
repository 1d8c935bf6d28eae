// TCP sequence numbers: u32 values that wrap, ordered within the window of 0x7f000000
// that the whole TCP path uses (not the usual 2^31).
//
// x is at or after y when (x - y) mod 2^32 < 0x7f000000; x is before y when it is not.
// Near the far side of the circle two numbers can each be before the other; nothing
// in the engine compares numbers that far apart.
#pragma once
#include <cstdint>

namespace vyxtcp {

constexpr uint32_t TCP_SEQ_WINDOW = 0x7f000000;

struct tcp_seq {
  uint32_t v = 0;

  constexpr tcp_seq() = default;
  constexpr explicit tcp_seq(uint32_t value) : v(value) {}

  friend constexpr bool operator==(tcp_seq a, tcp_seq b) { return a.v == b.v; }
  friend constexpr bool operator>=(tcp_seq a, tcp_seq b) {
    return uint32_t(a.v - b.v) < TCP_SEQ_WINDOW;
  }
  friend constexpr bool operator<(tcp_seq a, tcp_seq b) { return !(a >= b); }
  friend constexpr bool operator>(tcp_seq a, tcp_seq b) { return a >= b && a != b; }
  friend constexpr bool operator<=(tcp_seq a, tcp_seq b) { return !(a > b); }

  friend constexpr tcp_seq operator+(tcp_seq a, uint32_t n) { return tcp_seq(a.v + n); }
  friend constexpr tcp_seq operator-(tcp_seq a, uint32_t n) { return tcp_seq(a.v - n); }
  // The distance from b forward to a, mod 2^32.
  friend constexpr uint32_t operator-(tcp_seq a, tcp_seq b) { return a.v - b.v; }

  // a <= x < a + len, by distance from a (len 0 holds nothing).
  static constexpr bool in_window(tcp_seq x, tcp_seq a, uint32_t len) { return x - a < len; }
};

}  // namespace vyxtcp
