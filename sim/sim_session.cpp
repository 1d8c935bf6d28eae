#include "sim_session.h"

#include <cerrno>

#include "kvel_ioctl.h"
#include "sim_card.h"
#include "sim_doorbell.h"
#include "sim_session_page.h"

namespace zsim {
namespace {

constexpr uint64_t TS_ENTRY_BYTES = 16;
constexpr uint64_t TS_LOG_MAX_BYTES = uint64_t(0x20000000) * TS_ENTRY_BYTES;

sim_region* fail(int* err, int e) {
  *err = e;
  return nullptr;
}

sim_region* map_ts_log(sim_session& s, uint64_t len, int* err) {
  if (len == 0 || len % TS_ENTRY_BYTES || len > TS_LOG_MAX_BYTES) return fail(err, EINVAL);
  auto log = std::make_unique<sim_region>();
  if (!log->create("zorvnic-tx-timestamps", len, false)) return fail(err, ENOMEM);
  s.ts_log = std::move(log);
  s.ts_entries = len / TS_ENTRY_BYTES;
  return s.ts_log.get();
}

}  // namespace

std::unique_ptr<sim_session> session_make(char kind, sim_port* port, int index, int slot) {
  auto s = std::make_unique<sim_session>();
  s->kind = kind;
  s->port = index;
  s->slot = slot;
  s->wire = port;
  // Slot headers never overlap what follows them: UDP's reaches past its addresses.
  uint64_t hdr_len = kind == SESSION_UDP ? UDP_SLOT_HDR_LEN : TCP_SLOT_HDR_LEN;
  const char* regs_name = kind == SESSION_UDP   ? "zorvnic-udp-regs"
                          : kind == SESSION_TCP ? "zorvnic-tcp-regs"
                                                : "zorvnic-eth-regs";
  if (!s->regs.create(regs_name, kvel::KVEL_PAGE_SIZE, false) ||
      !s->feedback.create("zorvnic-tx-feedback", kvel::KVEL_PAGE_SIZE, false) ||
      !s->tx.create("zorvnic-tx-window") || (kind == SESSION_TCP && !doorbell_create(*s)))
    return nullptr;
  s->regs.set_reg(REG_IDENTITY / 8, uint64_t(uint8_t(kind)) << IDENTITY_KIND_SHIFT |
                                        hdr_len << IDENTITY_HDR_LEN_SHIFT |
                                        identity_slot_bits(uint64_t(slot)));
  s->regs.set_reg(REG_HDR_LEN / 8, hdr_len);
  retx_configure(s->retx, int64_t(port->conf.tcp_give_up_ms) * NS_PER_MS,
                 int64_t(port->conf.tcp_rto_min_ms) * NS_PER_MS);
  return s;
}

sim_region* session_map(sim_session& s, uint64_t offset, uint64_t len, int* err) {
  switch (offset) {
    case kvel::KVEL_MMAP_REGS:
      return &s.regs;
    case kvel::KVEL_MMAP_TX_PIO:
      if (len == 0 || len > TXWIN_BYTES) return fail(err, EINVAL);
      s.tx.reset();
      return &s.tx.region();
    case kvel::KVEL_MMAP_RX_RING:
      if (!s.rx.map("zorvnic-rx-ring", len)) return fail(err, errno == EINVAL ? EINVAL : ENOMEM);
      s.regs.set_reg(REG_RX_WRPTR / 8, 0);
      return s.rx.region();
    case kvel::KVEL_MMAP_TX_FEEDBACK:
      return &s.feedback;
    case kvel::KVEL_MMAP_TX_TIMESTAMPS:
      return map_ts_log(s, len, err);
    default:
      return fail(err, EINVAL);
  }
}

}  // namespace zsim
