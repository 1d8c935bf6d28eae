#include "rx_dma_ring.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "diag.h"
#include "kvel_ioctl.h"
#include "nt_zero.h"
#include "plain_output.h"

namespace kvel {

int rx_ring_bytes(int requested) {
  if (requested % int(KVEL_PAGE_SIZE) != 0) {
    fprintf(kvel::plain_output(), KVEL_RED "Wrong RX DMA buffer size, not multiple of a page: %d\n", requested);
    return RX_RING_DEFAULT_BYTES;
  }
  return requested < RX_RING_MIN_BYTES ? RX_RING_DEFAULT_BYTES : requested;
}

int rx_dma_ring::setup_rx_ring(int requested) {
  *owner_.control &= ~SESSION_CTRL_RX_ENABLE;
  owner_.write_control();
  owner_.read_reg(SESSION_REG_CONTROL);
  const int bytes = rx_ring_bytes(requested);
  owner_.write_reg(SESSION_REG_RX_SIZE, 0);
  if (!wait_size_taken(0)) return -ETIMEDOUT;
  void* ring = kvel_dev_mmap(*owner_.dev_fd, size_t(bytes), PROT_READ | PROT_WRITE,
                             KVEL_MMAP_RX_RING);
  if (ring == MAP_FAILED) return -ENOMEM;
  kvel_dev_zero(*owner_.dev_fd, ring, size_t(bytes));
  return start(ring, bytes);
}

int rx_dma_ring::attach(void* base, int bytes) {
  memset(base, 0, size_t(bytes));
  return start(base, bytes);
}

int rx_dma_ring::start(void* base, int bytes) {
  base_ = static_cast<uint8_t*>(base);
  size_ = bytes;
  lines_ = bytes / RX_LINE_BYTES;
  owner_.write_reg(SESSION_REG_RX_RDPTR, 0);
  owner_.write_reg(SESSION_REG_RX_WRPTR, 0);
  owner_.write_reg(SESSION_REG_RX_DROPPED, 0);
  owner_.write_reg(SESSION_REG_RX_SIZE, uint64_t(lines_));
  hdr_len_ = RX_SLOT_HDR_LEN;
  rdptr_ = 0;
  rdptr_written_ = 0;
  if (owner_.read_reg(SESSION_REG_IDENTITY) & SESSION_ID_HDR_LEN_VALID)
    hdr_len_ = uint8_t(owner_.read_reg(SESSION_REG_HDR_LEN));
  if (!wait_size_taken(uint32_t(lines_))) return -ETIMEDOUT;
  *owner_.control |= SESSION_CTRL_RX_ENABLE;
  owner_.read_reg(SESSION_REG_CONTROL);
  owner_.write_control();
  return 0;
}

void rx_dma_ring::unmap() {
  if (base_) kvel_dev_munmap(base_, size_t(size_));
  base_ = nullptr;
}

bool rx_dma_ring::wait_size_taken(uint32_t lines) const {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(RX_SIZE_ACK_TIMEOUT_MS);
  while (uint32_t(owner_.read_reg(SESSION_REG_RX_SIZE)) != lines)
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

void rx_dma_ring::release_slot() {
  const int line = rdptr_;
  const int len = slot_length(slot(line));
  if (len == 0) return;
  // Every block the slot covered must read as empty: a later slot may begin at any.
  const int end = std::min(line + slot_lines(len), lines_);
  for (int l = line; l < end; l += RX_BLOCK_LINES) nt_zero_line(slot(l));
  rdptr_ = next_slot(line, len);
  if (rdptr_ == 0)
    publish_rdptr(0);
  else if (rdptr_ - rdptr_written_ > lines_ / 4)
    publish_rdptr(rdptr_);
}

void rx_dma_ring::publish_rdptr(int line) {
  // The zeroing stores are weakly ordered: they must land before the card may write
  // into the lines they cleared.
  _mm_sfence();
  owner_.write_reg(SESSION_REG_RX_RDPTR, uint64_t(line));
  rdptr_written_ = line;
}

}  // namespace kvel
