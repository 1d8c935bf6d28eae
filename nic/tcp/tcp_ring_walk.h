// Walking a TCP session's receive ring without releasing anything: the worker thread
// and the receive calls both look ahead of the read pointer.
#pragma once
#include <cstddef>
#include <cstdint>

#include "rx_dma_ring.h"
#include "tcp_segment.h"
#include "tcp_seq.h"

namespace vyxtcp {

constexpr size_t TCP_SLOT_SW_FLAG = 14;  // slot u16: the card left the segment to software

// One written slot with its segment parsed once; `ok` false for a slot too short for
// its TCP header or whose length runs past the end of the ring: it is never read.
struct tcp_ring_slot {
  uint8_t* slot;
  const uint8_t* header;
  int len;  // TCP header and payload
  bool ok;
  tcp_segment seg;

  // The flag is shared by the worker and the application's thread: whichever takes it
  // (an atomic exchange) acts on the segment, the other leaves it. Only a set flag is
  // written: a walk that meets no flag stores nothing into the ring, which the card may
  // be refilling behind a walk that has fallen a lap behind.
  uint16_t* flag_word() const { return reinterpret_cast<uint16_t*>(slot + TCP_SLOT_SW_FLAG); }
  bool flagged() const { return __atomic_load_n(flag_word(), __ATOMIC_ACQUIRE) != 0; }
  bool take_flag() const {
    return flagged() && __atomic_exchange_n(flag_word(), uint16_t(0), __ATOMIC_ACQ_REL) != 0;
  }
  // A segment without payload, SYN, FIN or RST from before `rx_seq` (a keepalive or a
  // probe of our window, at rx_seq - 1): not acceptable, so it is owed an ACK of where
  // we are (RFC 793), which carries our window as well. A pure ACK at rx_seq is not.
  bool owes_ack_before(tcp_seq rx_seq) const {
    return ok && seg.payload_len == 0 && !(seg.flags & (TCP_SYN | TCP_FIN | TCP_RST)) &&
           seg.seq < rx_seq;
  }
  // The sequence number of the last payload byte; one before seq without payload.
  tcp_seq last_byte() const { return seg.seq + seg.payload_len - 1; }
};

// Calls visit(tcp_ring_slot&) for each written slot from rx_rdptr, in ring order, until
// a slot is empty, visit returns false, or the walk has covered the ring once (a ring
// that never shows an empty slot must not keep the caller walking for ever).
template <typename Engine, typename Visit>
void tcp_walk_ring(Engine& t, Visit visit) {
  kvel::rx_dma_ring& ring = t.hw->rx_dma_;
  if (ring.base_ == nullptr || ring.lines_ <= 0) return;
  int line = t.rx_rdptr;
  if (line < 0 || line >= ring.lines_) line = 0;
  const size_t ring_bytes = size_t(ring.lines_) * kvel::RX_LINE_BYTES;
  for (int walked = 0; walked < ring.lines_;) {
    uint8_t* s = ring.slot(line);
    const int len = kvel::rx_dma_ring::slot_length(s);
    if (len == 0) return;
    tcp_ring_slot rs{s, s + ring.hdr_len_, len, false, {}};
    const bool fits = size_t(line) * kvel::RX_LINE_BYTES + ring.hdr_len_ + size_t(len) <= ring_bytes;
    rs.ok = fits && tcp_parse_segment(rs.header, size_t(len), &rs.seg);
    if (!visit(rs)) return;
    const int next = ring.next_slot(line, len);
    walked += next > line ? next - line : ring.lines_ - line;
    line = next;
  }
}

// Extends `a` over the payload the ring holds from it on, and over the peer's FIN that
// follows it in order, in one walk; true when it moved. The FIN is acknowledged as soon
// as it is in the ring, though it takes effect only once the application has read up
// to it: unacknowledged, the peer would resend it and wait in FIN-WAIT-1 for as long as
// the application neither reads nor sends. `each` sees every slot of the walk first.
template <typename Engine, typename Each>
bool tcp_extend_in_order(Engine& t, tcp_seq* a, Each each) {
  bool progress = false;
  tcp_walk_ring(t, [&](const tcp_ring_slot& s) {
    each(s);
    if (!s.ok || (s.seg.flags & (TCP_SYN | TCP_RST))) return true;
    const tcp_seq end = s.seg.fin_seq() + (s.seg.has(TCP_FIN) ? 1 : 0);
    if (s.seg.seq <= *a && end > *a) {
      *a = end;
      progress = true;
    }
    return true;
  });
  return progress;
}

// The end of the in-order payload from `a` on, up to the next gap, whatever the order
// of the slots: under loss the resends that filled gaps sit in the ring behind data
// that follows them, and a single walk that stopped at the first segment beyond `a`
// would acknowledge in pieces. A peer without selective acknowledgements reads each
// piece as a partial ACK and resends the segment after it, which we hold, drawing one
// more duplicate ACK. So the walk is repeated while it moves `a`; `each` sees every
// slot of every walk.
template <typename Engine, typename Each>
tcp_seq tcp_in_order_end(Engine& t, tcp_seq a, Each each) {
  while (tcp_extend_in_order(t, &a, each)) {
  }
  return a;
}

template <typename Engine>
tcp_seq tcp_in_order_end(Engine& t, tcp_seq a) {
  return tcp_in_order_end(t, a, [](const tcp_ring_slot&) {});
}

}  // namespace vyxtcp
