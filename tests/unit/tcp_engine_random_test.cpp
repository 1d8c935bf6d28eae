// Randomized segments against the parser and the state machine, with a fixed seed and
// a bounded number of rounds: no crash, no read outside the segment (the sanitizer
// build), and the engine's invariants after every segment.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tcp_engine_fixture.h"

namespace {

using namespace vyxtcp;
using vyxtcp_test::engine_fixture;
using vyxtcp_test::peer_segment;

constexpr int ROUNDS = 20000;
constexpr int SEGMENTS_PER_ROUND = 12;

struct random_segments {
  std::mt19937 rng{20261210};

  uint32_t below(uint32_t n) { return uint32_t(rng() % n); }

  // Mostly near the connection's numbers, sometimes anywhere.
  int32_t offset() { return below(4) == 0 ? int32_t(rng()) : int32_t(below(64)) - 32; }

  std::vector<uint8_t> options() {
    std::vector<uint8_t> o(below(41));
    for (auto& b : o) b = below(3) == 0 ? uint8_t(below(9)) : uint8_t(rng());
    return o;
  }

  peer_segment segment() {
    peer_segment p;
    p.flags = uint8_t(rng()) & 0x3f;
    p.seq_off = offset();
    p.ack_off = offset();
    p.window = uint16_t(rng());
    p.payload = below(3) == 0 ? below(200) : 0;
    p.options = options();
    return p;
  }
};

struct tcp_engine_random : engine_fixture {
  void check_invariants(int before) {
    ASSERT_GE(tcp.state, 1);
    ASSERT_LE(tcp.state, 11);
    ASSERT_LE(tcp.peer_wscale, uint32_t(TCP_MAX_WSCALE));
    ASSERT_LE(tcp.own_wscale, uint32_t(TCP_MAX_WSCALE));
    // Final states are left only towards another final state.
    if (tcp_final_state(before)) {
      ASSERT_TRUE(tcp_final_state(tcp.state));
    }
    if (tcp.peer_fin_pending) {
      ASSERT_TRUE(tcp.peer_fin_seq >= tcp.rx_seq);
    }
    if (!tcp_final_state(tcp.state) && tcp.state != TCP_SYN_SENT && tcp.state != TCP_SYN_RECV) {
      ASSERT_TRUE(hw.rst_on_release);
    }
  }
};

TEST_F(tcp_engine_random, fsm_any_state_random_segments) {
  random_segments r;
  for (int round = 0; round < ROUNDS; ++round) {
    hw.control.clear();
    hw.tx_pio_.writes.clear();
    hw.rst_on_release = false;
    tcp.state = TCP_CLOSE;
    tcp.peer_fin_pending = 0;
    go_to(vyxtcp_test::REACHABLE_STATES[r.below(vyxtcp_test::REACHABLE_STATE_COUNT)]);
    for (int i = 0; i < SEGMENTS_PER_ROUND; ++i) {
      const int before = tcp.state;
      if (r.below(8) == 0) {
        tcp.consume_rx(r.below(300));
      } else if (r.below(8) == 0) {
        // Raw bytes: any length, any data offset.
        std::vector<uint8_t> raw(r.below(80));
        for (auto& b : raw) b = uint8_t(r.rng());
        tcp.tcp_process_fsm_rx(raw.data(), int(raw.size()));
      } else {
        deliver(r.segment());
      }
      check_invariants(before);
      if (HasFatalFailure()) return;
    }
  }
}

TEST(tcp_segment_random, parse_random_buffers_stay_in_bounds) {
  random_segments r;
  for (int i = 0; i < 100000; ++i) {
    std::vector<uint8_t> raw(r.below(100));
    for (auto& b : raw) b = r.below(4) == 0 ? uint8_t(r.below(16)) : uint8_t(r.rng());
    tcp_segment s;
    if (!tcp_parse_segment(raw.data(), raw.size(), &s)) continue;
    ASSERT_GE(s.data_offset, 5);
    ASSERT_EQ(s.payload + s.payload_len, raw.data() + raw.size());
    ASSERT_LE(s.opt.wscale, TCP_MAX_WSCALE);
  }
}

}  // namespace
