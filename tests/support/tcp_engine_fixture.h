// Engine tests: an engine over a fake session, put into a chosen state, and segments
// from the peer built relative to the connection's sequence numbers.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "fake_tcp_session.h"
#include "tcp/vyx_tcp.h"

namespace vyxtcp_test {

using engine = vyxtcp::sw_tcp<fake_tcp_session>;

constexpr uint32_t PEER_ISN = 0xfffffff0;  // the peer's numbers wrap during the tests
constexpr uint16_t PEER_WINDOW = 4000;

// A segment from the peer. seq and ack are offsets: seq from the next byte we expect
// (rx_seq), ack from the next byte we send (tx_seq).
struct peer_segment {
  uint8_t flags;
  int32_t seq_off;
  int32_t ack_off;
  uint16_t window;
  uint32_t payload;  // bytes of payload after the header
  std::vector<uint8_t> options;

  peer_segment(uint8_t f = vyxtcp::TCP_ACK, int32_t seq = 0, int32_t ack = 0,
               uint16_t win = PEER_WINDOW, uint32_t len = 0)
      : flags(f), seq_off(seq), ack_off(ack), window(win), payload(len) {}
};

// Network-order bytes of a TCP header with options and `payload` bytes of 0xab.
inline std::vector<uint8_t> tcp_bytes(uint32_t seq, uint32_t ack, uint8_t flags,
                                      uint16_t window, const std::vector<uint8_t>& options,
                                      uint32_t payload) {
  const size_t hdr = 20 + (options.size() + 3) / 4 * 4;
  std::vector<uint8_t> b(hdr, 0);
  const uint8_t fixed[20] = {0x30, 0x39, 0x1f, 0x90, uint8_t(seq >> 24), uint8_t(seq >> 16),
                             uint8_t(seq >> 8), uint8_t(seq), uint8_t(ack >> 24),
                             uint8_t(ack >> 16), uint8_t(ack >> 8), uint8_t(ack),
                             uint8_t(hdr / 4 << 4), flags, uint8_t(window >> 8), uint8_t(window),
                             0, 0, 0, 0};
  // memcpy through data(): GCC 12 misreads the bounds of iterator copies here.
  memcpy(b.data(), fixed, sizeof fixed);
  if (!options.empty()) memcpy(b.data() + 20, options.data(), options.size());
  b.resize(hdr + payload, 0xab);
  return b;
}

struct engine_fixture : ::testing::Test {
  fake_tcp_session hw;
  engine tcp{&hw};

  void SetUp() override {
    tcp.debug = nullptr;
    tcp.ctrl_desc.slot_hdr = 5;
    tcp.ctrl_desc.ttl = 64;
    tcp.data_desc.ttl = 64;
  }
  void TearDown() override { tcp.release(); }

  void deliver(const peer_segment& p) {
    const auto b = tcp_bytes(tcp.rx_seq.load().v + uint32_t(p.seq_off), tcp.tx_seq.load().v + uint32_t(p.ack_off),
                             p.flags, p.window, p.options, p.payload);
    tcp.tcp_process_fsm_rx(b.data(), int(b.size()));
  }

  // The peer's SYN-ACK (or SYN) as the first segment: its sequence number is PEER_ISN.
  void deliver_syn(uint8_t flags, std::vector<uint8_t> options, int32_t ack_off = 0) {
    const auto b = tcp_bytes(PEER_ISN, tcp.tx_seq.load().v + uint32_t(ack_off), flags, PEER_WINDOW,
                             options, 0);
    tcp.tcp_process_fsm_rx(b.data(), int(b.size()));
  }

  static std::vector<uint8_t> mss_wscale(uint16_t mss, uint8_t shift) {
    return {2, 4, uint8_t(mss >> 8), uint8_t(mss), 1, 3, 3, shift};
  }

  void passive_open() {
    tcp.set_state(vyxtcp::TCP_LISTEN);
    const auto b = tcp_bytes(PEER_ISN, 0, vyxtcp::TCP_SYN, PEER_WINDOW, mss_wscale(1460, 7), 0);
    vyxtcp::tcp_segment s;
    ASSERT_TRUE(vyxtcp::tcp_parse_segment(b.data(), b.size(), &s));
    tcp.process_syn_options(s);
    ASSERT_EQ(tcp.send_syn_ack(), 0);
  }

  // Puts the connection into `target` through the segments that lead there, as if
  // the last send were long ago (answers limited in rate are due).
  void go_to(int target) {
    reach(target);
    tcp.handshake_time = {};
  }
  void reach(int target) {
    using namespace vyxtcp;
    if (target == TCP_SYN_RECV) return passive_open();
    ASSERT_EQ(tcp.send_syn(), 0);
    if (target == TCP_SYN_SENT) return;
    deliver_syn(TCP_SYN | TCP_ACK, mss_wscale(1460, 7));
    ASSERT_EQ(tcp.state, TCP_ESTABLISHED);
    if (target == TCP_ESTABLISHED) return;
    if (target == TCP_CLOSE_WAIT || target == TCP_LAST_ACK) {
      deliver({TCP_FIN | TCP_ACK});
      if (target == TCP_LAST_ACK) tcp.disconnect();
      return;
    }
    tcp.disconnect();
    if (target == TCP_FIN_WAIT1) return;
    if (target == TCP_FIN_WAIT2) return deliver({TCP_ACK});
    if (target == TCP_CLOSING) return deliver({TCP_FIN | TCP_ACK, 0, -1});
    if (target == TCP_TIME_WAIT) return deliver({TCP_FIN | TCP_ACK});
  }

  const sent_segment& last_control() const { return hw.control.back(); }
};

// Every state go_to can put a connection in, for tests that start from each.
constexpr int REACHABLE_STATES[] = {
    vyxtcp::TCP_SYN_SENT,  vyxtcp::TCP_SYN_RECV,   vyxtcp::TCP_ESTABLISHED,
    vyxtcp::TCP_FIN_WAIT1, vyxtcp::TCP_FIN_WAIT2,  vyxtcp::TCP_CLOSE_WAIT,
    vyxtcp::TCP_LAST_ACK,  vyxtcp::TCP_CLOSING,    vyxtcp::TCP_TIME_WAIT};
constexpr size_t REACHABLE_STATE_COUNT = sizeof REACHABLE_STATES / sizeof REACHABLE_STATES[0];

}  // namespace vyxtcp_test
