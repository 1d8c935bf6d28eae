#include "udp_status.h"

#include "signals_held.h"
#include "status_text.h"
#include "zorvudp_v2.h"

namespace vyx {
namespace {

constexpr size_t SESSION_REG_TX_RSTATUS = 0x010;  // bits 15..0 read pointer, 23..16 round
constexpr size_t SESSION_REG_TX_WSTATUS = 0x018;  // bits 15..0 fill level, bit 16 non-empty

unsigned reg32(const zorvudp_v2& s, size_t offset) {
  return unsigned(kvel::mmio_read64(s.reg_, offset));
}

}  // namespace

void append_udp_status(std::string& out, const zorvudp_v2& s) {
  kvel::append_format(out, "UDP rx_dma_dropped %u\n", reg32(s, kvel::SESSION_REG_RX_DROPPED));
  kvel::append_format(out, "UDP rx_dma_rdptr %u\n", reg32(s, kvel::SESSION_REG_RX_RDPTR));
  kvel::append_format(out, "UDP rx_dma_wrptr %u\n", reg32(s, kvel::SESSION_REG_RX_WRPTR));
  kvel::append_format(out, "UDP rx_dma_size %u\n", reg32(s, kvel::SESSION_REG_RX_SIZE));
  const kvel::tx_pio& tx = s.tx_pio_;
  if (tx.fdb_) {
    const uint32_t fdb = *tx.fdb_;
    kvel::append_format(out, "TX: fdb.round=%d fdb.rdptr %d\n", kvel::tx_fdb_round(fdb),
                        kvel::tx_fdb_rdptr(fdb));
    kvel::append_format(out, "TX: tx_offset=%d wrptr(CL)=%d, round=%d\n", tx.tx_offset_,
                        (tx.tx_offset_ & 0xFFF) / kvel::TX_LINE_BYTES, tx.tx_offset_ >> 12);
  }
  const unsigned wstatus = reg32(s, SESSION_REG_TX_WSTATUS);
  const unsigned rstatus = reg32(s, SESSION_REG_TX_RSTATUS);
  kvel::append_format(out, "TX: wstatus fillevel=%d nonempty=%d\n", int(wstatus & 0xFFFF),
                      int((wstatus >> 16) & 1));
  kvel::append_format(out, "TX: rstatus rdptr=%d round=%d\n", int(rstatus & 0xFFFF),
                      int((rstatus >> 16) & 0xFF));
}

void udp_status_thread::start(const zorvudp_v2* s) {
  running_.store(1);
  const kvel::signals_held quiet;
  thread_ = std::thread([this, s] {
    while (kvel::status_pause(running_)) {
      std::string text;
      append_udp_status(text, *s);
      kvel::write_stdout(text);
    }
  });
}

void udp_status_thread::stop() {
  if (!thread_.joinable()) return;
  running_.store(0);
  thread_.join();
}

}  // namespace vyx
