// A stand-in for the hardware TCP session in engine tests: it records every control
// segment (packet socket) and every TX window write, keeps the reset-on-release switch
// and offers a register page and feedback page in plain memory.
#pragma once
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "tcp/tcp_pkt_if.h"

namespace vyxtcp_test {

// One segment as the engine handed it over: the descriptor and its option bytes.
struct sent_segment {
  vyxtcp::tcp_tx_desc desc;
  std::vector<uint8_t> payload;
};

struct fake_tx_window {
  uint8_t window[64] = {};
  alignas(8) uint8_t feedback[4096] = {};
  uint8_t* tx_pio_mem_ = window;
  volatile uint32_t* fdb_ = reinterpret_cast<volatile uint32_t*>(feedback);
  std::vector<sent_segment> writes;
  bool full = false;  // every write finds no room
  // Called after each write that found room: what the peer does meanwhile.
  std::function<void()> after_write;

  int write(const void* data, int len, const void* desc, int /*max_polls*/) {
    if (full) return -1;
    sent_segment s{};
    std::memcpy(&s.desc, desc, sizeof s.desc);
    const auto* p = static_cast<const uint8_t*>(data);
    if (len > 0) s.payload.assign(p, p + len);
    writes.push_back(s);
    if (after_write) after_write();
    return 0;
  }
};

struct fake_tcp_session {
  int dev_fd_ = -1;
  alignas(8) uint64_t regs[512] = {};
  volatile uint64_t* reg_ = regs;
  uint32_t control_ = 0x13;  // receive and TX on, as after set-up
  int rx_bytes_ = vyxtcp::TCP_RX_RING_BYTES;
  uint32_t local_ip_ = 0xc6120001;
  volatile vyxtcp::txack* txack_ = nullptr;
  fake_tx_window tx_pio_;
  kvel::rx_dma_ring rx_dma_{};  // unmapped unless a test attaches a ring
  std::vector<sent_segment> control;  // by the packet socket
  bool socket_fails = false;
  bool rst_on_release = false;
  int rst_switches = 0;

  fake_tcp_session() = default;
  fake_tcp_session(const fake_tcp_session&) = delete;
  fake_tcp_session& operator=(const fake_tcp_session&) = delete;

  int send_control_segment(const void* /*payload*/, uint16_t len, vyxtcp::tcp_tx_desc* desc) {
    desc->length = len;
    if (socket_fails) return -1;
    control.push_back({*desc, {}});
    return 54 + len;
  }
  void enable_rst_on_release() { set_rst(true); }
  void disable_rst_on_release() { set_rst(false); }
  void set_rst(bool on) {
    rst_on_release = on;
    rst_switches += 1;
  }
  uint64_t reg(size_t byte) const { return regs[byte / 8]; }
};

}  // namespace vyxtcp_test
