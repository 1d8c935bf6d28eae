#include "tx_pio.h"

#include <sys/mman.h>

#include <cstdio>

#include "kvel_ioctl.h"
#include "nt_zero.h"
#include "plain_output.h"

namespace kvel {

int tx_pio::setup_tx_window(uint32_t tx_enable_bits) {
  *owner_.control &= ~tx_enable_bits;
  owner_.write_control();
  void* window = kvel_dev_mmap(*owner_.dev_fd, KVEL_TX_PIO_SIZE, PROT_READ | PROT_WRITE,
                               KVEL_MMAP_TX_PIO);
  if (window == MAP_FAILED) return -1;
  tx_pio_mem_ = static_cast<uint8_t*>(window);
  tx_flags_ = uint16_t(owner_.read_reg(SESSION_REG_TX_FLAGS));
  void* feedback = kvel_dev_mmap(*owner_.dev_fd, TX_FEEDBACK_BYTES, PROT_READ | PROT_WRITE,
                                 KVEL_MMAP_TX_FEEDBACK);
  if (feedback == MAP_FAILED) {
    fputs("Could not map TX feedback buffer" "\n", kvel::plain_output());
    return -1;
  }
  fdb_ = static_cast<volatile uint32_t*>(feedback);
  init_tx_state();
  choose_tx_write();
  *owner_.control |= tx_enable_bits;
  owner_.write_control();
  return 0;
}

void tx_pio::init_tx_state() {
  tx_offset_ = 0;
  volatile uint16_t* halves = reinterpret_cast<volatile uint16_t*>(fdb_);
  halves[0] = 0;  // rdptr
  halves[1] = 0;  // round
  ring_bytes_ = 4096;
  ring_shift_ = 12;
  ring_mask_ = 0xfff;
  window_bytes_ = 0x4000;
  window_mask_ = 0x3fff;
  tx_available_256bit_ = TX_RING_CREDITS;
  // The last quarter is the round the card looks at two rounds ahead of the first send.
  for (int off = window_bytes_ - ring_bytes_; off < window_bytes_; off += TX_LINE_BYTES)
    nt_zero_line(tx_pio_mem_ + off);
  _mm_sfence();
  // A read of the session's page makes the posted window writes reach the card first.
  owner_.read_reg(SESSION_REG_CONTROL);
}

void tx_pio::unmap() {
  if (tx_pio_mem_) kvel_dev_munmap(tx_pio_mem_, KVEL_TX_PIO_SIZE);
  tx_pio_mem_ = nullptr;
  if (fdb_) kvel_dev_munmap(const_cast<uint32_t*>(fdb_), TX_FEEDBACK_BYTES);
  fdb_ = nullptr;
}

bool tx_pio::poll_room(int need, int polls) {
  const int ring_lines = ring_bytes_ / TX_LINE_BYTES;
  const int wrround = tx_offset_ >> ring_shift_;
  const int wrline = (tx_offset_ & ring_mask_) / TX_LINE_BYTES;
  for (int i = 0; i < polls; ++i) {
    const uint32_t fdb = *fdb_;
    // In the writer's round the card is behind on the same lap; in any other round it
    // is still finishing the previous one.
    const int free_lines = tx_fdb_round(fdb) == wrround ? ring_lines + tx_fdb_rdptr(fdb) - wrline
                                                        : tx_fdb_rdptr(fdb) - wrline;
    tx_available_256bit_ = free_lines * 2;
    if (tx_available_256bit_ >= need) return true;
  }
  return false;
}

}  // namespace kvel
