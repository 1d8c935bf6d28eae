#include "sim_rxring.h"

#include <cerrno>
#include <cstring>

namespace zsim {
namespace {

constexpr size_t BLOCK_LINES = 4;
constexpr size_t BLOCK_BYTES = BLOCK_LINES * RX_LINE_BYTES;
constexpr size_t LAP_TAIL_LINES = 256;

size_t slot_lines(size_t bytes) { return (bytes + BLOCK_BYTES - 1) / BLOCK_BYTES * BLOCK_LINES; }

}  // namespace

bool sim_rxring::map(const char* name, size_t len) {
  if (len % 4096 || len < LAP_TAIL_LINES * RX_LINE_BYTES || len > RX_RING_MAX_BYTES) {
    errno = EINVAL;
    return false;
  }
  auto ring = std::make_unique<sim_region>();
  if (!ring->create(name, len, false)) return false;
  ring_ = std::move(ring);
  lines_ = len / RX_LINE_BYTES;
  wrptr_ = 0;
  return true;
}

bool sim_rxring::room(size_t rdptr, size_t lines) const {
  bool last_of_lap = lines_ - wrptr_ < LAP_TAIL_LINES;
  if (wrptr_ + lines > lines_) return false;
  // The library is on this lap: everything up to the end is free, and after the last
  // slot the next head is line 0, free once the library has moved past it.
  if (rdptr <= wrptr_) return !last_of_lap || rdptr > 0;
  // A lap behind: free up to its read pointer, which the next head must not reach.
  return !last_of_lap && wrptr_ + lines < rdptr;
}

rx_place sim_rxring::write(const sim_region& regs, const unsigned char* hdr, size_t hdr_len,
                           const unsigned char* data, size_t len) {
  if (!ring_ || !(regs.reg(REG_CONTROL / 8) & CONTROL_RX_ENABLE) ||
      regs.reg(REG_RX_SIZE / 8) != lines_)
    return rx_place::stopped;
  if (hdr_len + len > RX_SLOT_MAX_BYTES) return rx_place::too_long;
  size_t lines = slot_lines(hdr_len + len);
  uint64_t* rdptr = reinterpret_cast<uint64_t*>(regs.bytes() + REG_RX_RDPTR);
  if (!room(size_t(__atomic_load_n(rdptr, __ATOMIC_ACQUIRE)), lines)) {
    __atomic_fetch_add(reinterpret_cast<uint64_t*>(regs.bytes() + REG_RX_DROPPED), 1,
                       __ATOMIC_RELAXED);
    return rx_place::full;
  }
  unsigned char* slot = ring_->bytes() + wrptr_ * RX_LINE_BYTES;
  memcpy(slot + 2, hdr + 2, hdr_len - 2);
  memcpy(slot + hdr_len, data, len);
  // The length says the slot is there: it goes last, after everything it covers.
  __atomic_store_n(reinterpret_cast<uint16_t*>(slot), uint16_t(len), __ATOMIC_RELEASE);
  wrptr_ = lines_ - wrptr_ < LAP_TAIL_LINES ? 0 : wrptr_ + lines;
  regs.set_reg(REG_RX_WRPTR / 8, wrptr_);
  return rx_place::placed;
}

}  // namespace zsim
