// The engine's state machine fed any sequence of segments from any starting state,
// over the fake session of the unit tests.
//
// Input: one byte choosing the starting state, then steps. A step's first byte chooses
// what happens (its two high bits) and carries the TCP flags (its six low bits):
//   0  a segment with 8-bit offsets:  seq, ack (int8), window (u16), payload bytes (u8),
//      option bytes n (u8, at most 40), then n option bytes;
//   1  the same with 32-bit offsets (seq, ack as int32, little-endian);
//   2  the application consumes n bytes (u16);
//   3  the application disconnects.
// Offsets count from the next byte the engine expects (seq) and the next it sends (ack),
// as the fixture's deliver() builds them. Missing bytes read as zero.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "tcp_engine_fixture.h"

namespace {

using namespace vyxtcp;
using vyxtcp_test::peer_segment;

constexpr int MAX_STEPS = 64;
constexpr size_t MAX_OPTION_BYTES = 40;
// One received segment answers with at most an ACK and our FIN.
constexpr size_t MAX_CONTROL_PER_STEP = 2;

struct input_reader {
  const uint8_t* p;
  size_t left;

  bool empty() const { return left == 0; }
  uint8_t u8() {
    if (left == 0) return 0;
    --left;
    return *p++;
  }
  uint16_t u16() {
    const uint8_t lo = u8();
    return uint16_t(lo | u8() << 8);
  }
  uint32_t u32() {
    const uint16_t lo = u16();
    return lo | uint32_t(u16()) << 16;
  }
  std::vector<uint8_t> bytes(size_t n) {
    std::vector<uint8_t> out;
    while (n-- > 0 && !empty()) out.push_back(u8());
    return out;
  }
};

peer_segment read_segment(input_reader& in, uint8_t flags, bool wide) {
  peer_segment s;
  s.flags = flags;
  s.seq_off = wide ? int32_t(in.u32()) : int8_t(in.u8());
  s.ack_off = wide ? int32_t(in.u32()) : int8_t(in.u8());
  s.window = in.u16();
  s.payload = in.u8();
  s.options = in.bytes(in.u8() % (MAX_OPTION_BYTES + 1));
  return s;
}

// The engine over a fresh fake session; the fixture's helpers put it into a state.
struct engine_run : vyxtcp_test::engine_fixture {
  void TestBody() override {}

  // What the engine's variables looked like before one step.
  struct snapshot {
    int state;
    tcp_seq rx_seq;
    tcp_seq tx_seq;
    size_t control;
  };
  snapshot take() const { return {tcp.state, tcp.rx_seq, tcp.tx_seq, hw.control.size()}; }

  void step(input_reader& in) {
    const uint8_t op = in.u8();
    const uint8_t flags = op & 0x3f;
    switch (op >> 6) {
      case 0:
      case 1: return deliver(read_segment(in, flags, op >> 6 == 1));
      case 2: return tcp.consume_rx(in.u16());
      default: return tcp.disconnect();
    }
  }

  void check(const snapshot& b) const {
    const int s = tcp.state;
    FUZZ_CHECK(s >= TCP_ESTABLISHED && s <= TCP_CLOSING && s != TCP_LISTEN);
    // No timer leaves a final state, and no segment either.
    FUZZ_CHECK(!tcp_final_state(b.state) || tcp_final_state(s));
    FUZZ_CHECK(tcp.peer_wscale <= TCP_MAX_WSCALE && tcp.own_wscale <= TCP_MAX_WSCALE);
    FUZZ_CHECK(!tcp.peer_fin_pending || tcp.peer_fin_seq >= tcp.rx_seq);
    // Nothing counts as acknowledged that was never sent.
    FUZZ_CHECK(tcp.bk_tx_ack <= tcp.tx_seq);
    // The driver resets the connection on release exactly while data can still flow.
    const bool handshake = s == TCP_SYN_SENT || s == TCP_SYN_RECV;
    FUZZ_CHECK(hw.rst_on_release == (!handshake && !tcp_final_state(s)));
    // Once synchronised, the receive point only moves forward and the send point by at
    // most our FIN.
    if (b.state != TCP_SYN_SENT) FUZZ_CHECK(tcp.rx_seq >= b.rx_seq);
    FUZZ_CHECK(tcp.tx_seq - b.tx_seq <= 1);
    FUZZ_CHECK(hw.control.size() - b.control <= MAX_CONTROL_PER_STEP);
    // What left in this step acknowledges all we took and carries our next sequence
    // number, or our FIN's; but for the reset that answers an unacceptable ACK in
    // SYN_SENT, which carries that ACK's number and acknowledges nothing.
    for (size_t i = b.control; i < hw.control.size(); ++i) {
      const tcp_tx_desc& d = hw.control[i].desc;
      if (b.state == TCP_SYN_SENT && d.tcp_flags == TCP_RST) continue;
      FUZZ_CHECK(d.ack == tcp.rx_seq.load().v);
      FUZZ_CHECK(tcp.tx_seq.load().v - d.seq <= 1);
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  input_reader in{data, size};
  const int start = vyxtcp_test::REACHABLE_STATES[in.u8() % vyxtcp_test::REACHABLE_STATE_COUNT];
  engine_run run;
  run.SetUp();
  run.go_to(start);
  FUZZ_CHECK(!::testing::Test::HasFatalFailure());
  // A state the fixture does not lead to is left out.
  const int steps = run.tcp.state == start ? MAX_STEPS : 0;
  for (int i = 0; i < steps && !in.empty(); ++i) {
    const auto before = run.take();
    run.step(in);
    run.check(before);
  }
  run.TearDown();
  return 0;
}
