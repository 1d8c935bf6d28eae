#include "session_status.h"

#include "session_ref.h"
#include "status_text.h"

namespace kvel {
namespace {

constexpr size_t SESSION_REG_TX_RSTATUS = 0x010;  // bits 15..0 read pointer, 23..16 round
constexpr size_t SESSION_REG_TX_WSTATUS = 0x018;  // bits 15..0 fill level, bit 16 non-empty
constexpr int TX_RING_SHIFT = 12;                 // the card's ring is 4 KiB
constexpr int TX_RING_MASK = (1 << TX_RING_SHIFT) - 1;

unsigned reg32(const volatile uint64_t* reg, size_t offset) {
  return unsigned(mmio_read64(reg, offset));
}

}  // namespace

void append_ring_status(std::string& out, const char* kind, const volatile uint64_t* reg) {
  append_format(out, "%s rx_dma_dropped %u\n", kind, reg32(reg, SESSION_REG_RX_DROPPED));
  append_format(out, "%s rx_dma_rdptr %u\n", kind, reg32(reg, SESSION_REG_RX_RDPTR));
  append_format(out, "%s rx_dma_wrptr %u\n", kind, reg32(reg, SESSION_REG_RX_WRPTR));
  append_format(out, "%s rx_dma_size %u\n", kind, reg32(reg, SESSION_REG_RX_SIZE));
}

void append_tx_status(std::string& out, const volatile uint64_t* reg, const tx_pio& tx) {
  if (tx.fdb_) {
    const uint32_t fdb = *tx.fdb_;
    append_format(out, "TX: fdb.round=%d fdb.rdptr %d\n", tx_fdb_round(fdb), tx_fdb_rdptr(fdb));
    append_format(out, "TX: tx_offset=%d wrptr(CL)=%d, round=%d\n", tx.tx_offset_,
                  (tx.tx_offset_ & TX_RING_MASK) / TX_LINE_BYTES, tx.tx_offset_ >> TX_RING_SHIFT);
  }
  const unsigned wstatus = reg32(reg, SESSION_REG_TX_WSTATUS);
  const unsigned rstatus = reg32(reg, SESSION_REG_TX_RSTATUS);
  append_format(out, "TX: wstatus fillevel=%d nonempty=%d\n", int(wstatus & 0xFFFF),
                int((wstatus >> 16) & 1));
  append_format(out, "TX: rstatus rdptr=%d round=%d\n", int(rstatus & 0xFFFF),
                int((rstatus >> 16) & 0xFF));
}

}  // namespace kvel
