// A receive ring in plain memory for the fake TCP session, for tests of the code that
// reads the ring: segments are placed as the card places them (header, software flag,
// the length written last).
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "rx_dma_ring.h"

namespace vyxtcp_test {

constexpr int FAKE_RING_LINES = 1024;

struct fake_tcp_ring {
  alignas(64) uint8_t mem[FAKE_RING_LINES * kvel::RX_LINE_BYTES] = {};
  kvel::rx_dma_ring* ring = nullptr;
  int write_line = 0;  // where the card writes next

  void attach(kvel::rx_dma_ring& r) {
    ring = &r;
    r.base_ = mem;
    r.size_ = int(sizeof mem);
    r.lines_ = FAKE_RING_LINES;
  }

  // Places one TCP segment (header and payload) in the next slot; returns its line.
  int place(const std::vector<uint8_t>& segment, bool flagged) {
    const int line = write_line;
    uint8_t* s = ring->slot(line);
    const uint16_t flag = flagged ? 1 : 0;
    memcpy(s + 14, &flag, sizeof flag);
    memcpy(s + ring->hdr_len_, segment.data(), segment.size());
    const uint16_t len = uint16_t(segment.size());
    __atomic_store_n(reinterpret_cast<uint16_t*>(s), len, __ATOMIC_RELEASE);
    write_line = ring->next_slot(line, len);
    return line;
  }
  bool flagged(int line) const {
    uint16_t flag = 0;
    memcpy(&flag, ring->slot(line) + 14, sizeof flag);
    return flag != 0;
  }
};

}  // namespace vyxtcp_test
