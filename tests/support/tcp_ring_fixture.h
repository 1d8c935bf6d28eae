// Data-path tests: an established engine over the fake session with a receive ring on
// an anonymous mapping, the card's side that places the peer's segments in it, and the
// card's acknowledgement block and ACK doorbell as plain memory the test reads and sets.
//
// Payload bytes carry their own sequence number (the byte at sequence s is uint8_t(s)),
// so a pointer into the ring shows which bytes it points at.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "session_fixture.h"
#include "tcp/vyx_tcp_data.h"
#include "tcp_engine_fixture.h"

namespace vyxtcp_test {

constexpr int TEST_RING_BYTES = 128 << 10;  // 2048 lines
constexpr uint16_t OPEN_WINDOW = 0xffff;    // with the peer's shift 7: 8 MiB

struct ring_fixture : engine_fixture {
  zt::mapped_region ring{TEST_RING_BYTES};
  int card_line = 0;  // where the card places the next segment

  void SetUp() override {
    engine_fixture::SetUp();
    hw.rx_dma_.owner_ = {&hw.dev_fd_, &hw.reg_, &hw.control_};
    if (hw.rx_dma_.attach(ring.p, TEST_RING_BYTES) != 0) abort();
    go_to(vyxtcp::TCP_ESTABLISHED);
    set_peer_window(OPEN_WINDOW);
    hw.tx_pio_.writes.clear();  // the handshake's
  }

  volatile vyxtcp::txack& block() { return *hw.txack_; }
  // The peer has acknowledged everything and shows `window` (unscaled).
  void set_peer_window(uint16_t window) {
    block().ack = tcp.tx_seq.load().v;
    block().win = window;
  }
  // Sequence number `off` bytes from the next one expected.
  uint32_t rx_at(int32_t off) const { return tcp.rx_seq.load().v + uint32_t(off); }

  // The card places a segment from the peer by the ring's rule, length last. Returns
  // its slot.
  uint8_t* put(uint32_t seq, uint8_t flags, uint32_t len, bool sw_flag = false, uint64_t time = 0) {
    auto bytes = tcp_bytes(seq, tcp.tx_seq.load().v, flags, PEER_WINDOW, {}, len);
    for (uint32_t i = 0; i < len; ++i) bytes[20 + i] = uint8_t(seq + i);
    return put_raw(bytes, sw_flag, time);
  }
  uint8_t* put_raw(const std::vector<uint8_t>& bytes, bool sw_flag, uint64_t time) {
    kvel::rx_dma_ring& r = hw.rx_dma_;
    uint8_t* s = r.slot(card_line);
    memcpy(s + 2, &time, sizeof time);
    const uint16_t flag = sw_flag ? 1 : 0;
    memcpy(s + vyxtcp::TCP_SLOT_SW_FLAG, &flag, sizeof flag);
    memcpy(s + r.hdr_len_, bytes.data(), bytes.size());
    const uint16_t len = uint16_t(bytes.size());
    __atomic_store_n(reinterpret_cast<uint16_t*>(s), len, __ATOMIC_RELEASE);
    card_line = r.next_slot(card_line, len);
    return s;
  }
  static uint16_t sw_flag(const uint8_t* slot) {
    uint16_t f;
    memcpy(&f, slot + vyxtcp::TCP_SLOT_SW_FLAG, sizeof f);
    return f;
  }

  // The doorbell value the card took since the last look (0: none); the card clears it.
  uint64_t take_doorbell() {
    const uint64_t v = hw.regs[vyxtcp::TCP_REG_ACK_DOORBELL / 8];
    hw.regs[vyxtcp::TCP_REG_ACK_DOORBELL / 8] = 0;
    return v;
  }
  // A doorbell for `ack` with `window` (the window field), by default the whole window.
  uint64_t doorbell_for(uint32_t ack, uint32_t window) const {
    return uint64_t(tcp.data_desc.ttl) << 50 | uint64_t(window & 0xffff) << 32 | ack;
  }
  uint64_t doorbell_for(uint32_t ack) const { return doorbell_for(ack, tcp.adv_window); }

  // One receive; its bytes must be those of sequence `seq` on, `len` of them.
  void expect_receive(uint32_t seq, int len) {
    const void* data = nullptr;
    ASSERT_EQ(vyxtcp::tcp_zc_receive(tcp, &data, nullptr, 0), len);
    ASSERT_NE(data, nullptr);
    const auto* p = static_cast<const uint8_t*>(data);
    for (int i = 0; i < len; ++i) ASSERT_EQ(p[i], uint8_t(seq + uint32_t(i))) << "byte " << i;
  }
  // Receives and releases `len` in-order bytes at rx_seq.
  void consume(int len) {
    expect_receive(tcp.rx_seq.load().v, len);
    vyxtcp::tcp_zc_receive_done(tcp);
  }
};

}  // namespace vyxtcp_test
