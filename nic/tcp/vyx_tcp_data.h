// The TCP data path of an engine: sends written into the TX window within the peer's
// window, zero-copy receive of the next in-order segment in the receive ring, and the
// release of consumed slots with batched acknowledgements through the ACK doorbell.
//
// These run on the application's thread, one call at a time per engine, beside the
// connection's worker; which fields each thread writes is stated in vyx_tcp.h. The
// data path takes no lock but on rare events (a FIN or RST, a repeated SYN-ACK). The two
// directions close apart: receiving goes on while the peer may still send (ESTABLISHED,
// and FIN_WAIT1 and FIN_WAIT2 after our FIN, so no byte the peer sends after it is
// lost); sending while our side is open (ESTABLISHED, and CLOSE_WAIT after the peer's
// FIN, until our own). Errors are negative errno values.
#pragma once
#include <x86intrin.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>

#include "kvel_dev.h"
#include "rx_dma_ring.h"
#include "tcp_ring_walk.h"
#include "vyx_tcp.h"
#include "zorvtime.h"

namespace vyxtcp {

constexpr int TCP_SEGMENT_BYTES = 1460;  // a send is cut at this size
constexpr uint32_t TCP_WINDOW_CAP = 0x7ff000;
constexpr int TCP_SEND_READY_BYTES = 1500;
constexpr int TCP_DOORBELL_RELEASES = 15;  // the release that finds more rings the doorbell
constexpr int TCP_DOORBELL_MSS = 4;        // ... as does more than 4 x MSS unacknowledged
constexpr uint16_t TCP_DESC_TX_TIMESTAMP = 0x8000;  // descriptor flags: log the send time
constexpr uint8_t TCP_TXACK_CTRL_WAITING = 0x03;    // fin_rst_flags: FIN or RST in the ring

inline int64_t tcp_now_ns() {
  const timespec t = tcp_now();
  return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// ---- Ring walk -----------------------------------------------------------------------

// FIN and RST go to the state machine; a flagged SYN (the peer repeating its SYN-ACK,
// our ACK lost) is answered with a pure ACK. The caller's walk goes on while
// `open(state)` holds afterwards; false ends it.
template <typename Session>
bool tcp_take_control(sw_tcp<Session>& t, tcp_ring_slot& rs, bool (*open)(int)) {
  if (!rs.ok) return true;
  if (rs.seg.flags & (TCP_FIN | TCP_RST)) {
    t.tcp_process_fsm_rx(rs.header, rs.len);
    if (!open(t.state)) return false;
  }
  if (rs.seg.has(TCP_SYN) && rs.take_flag()) t.reack_syn();
  return true;
}

// A segment from before our window (`window`: rx_seq when the peer sent it, as far as
// we know) that the card left to software (tcp_ring_slot::owes_ack_before) draws one
// ACK of where we are: whichever thread takes its flag answers it.
template <typename Session>
void tcp_answer_before_window(sw_tcp<Session>& t, const tcp_ring_slot& rs, tcp_seq window) {
  if (rs.owes_ack_before(window) && rs.take_flag()) tcp_ring_doorbell(t, t.ack_point());
}

// The control segments the card reports waiting, handled before a send; nothing is
// released. False when the connection can no longer send. It does not count as
// receiving: the worker goes on acknowledging for a sender that does not receive.
template <typename Session>
bool tcp_control_scan(sw_tcp<Session>& t) {
  tcp_walk_ring(t, [&](tcp_ring_slot& rs) { return tcp_take_control(t, rs, tcp_send_open); });
  return tcp_send_open(t.state);
}

// The card sends one pure ACK for `ack` with the window we offer with it and our TTL.
// Every write is one ACK, so back-to-back rings each leave; the register is write-only.
template <typename Session>
void tcp_ring_doorbell(sw_tcp<Session>& t, tcp_seq ack) {
  const uint64_t window = t.offered_window(ack);
  const uint64_t v = uint64_t(t.data_desc.ttl) << 50 | window << 32 | ack.v;
  kvel::mmio_write64(t.hw->reg_, TCP_REG_ACK_DOORBELL, v);
}

// ---- Send ----------------------------------------------------------------------------

// What the peer's window still allows beyond tx_seq, from the card's acknowledgement
// block. Without the block (its offload could not be switched on) the engine's own
// view of the peer's acknowledgements and window stands in.
template <typename Session>
void tcp_refresh_quota(sw_tcp<Session>& t) {
  const volatile txack* block = t.hw->txack_;
  const tcp_seq acked = block ? tcp_seq(block->ack) : tcp_seq(t.bk_tx_ack);
  const uint32_t window = block ? uint32_t(block->win) << t.peer_wscale : t.peer_window_scaled.load();
  t.tx_window = window;
  t.tx_available_quota = int((acked + std::min(window, TCP_WINDOW_CAP)) - t.tx_seq);
}

template <typename Session>
bool tcp_control_waiting(const sw_tcp<Session>& t) {
  const volatile txack* block = t.hw->txack_;
  return block && (block->fin_rst_flags & TCP_TXACK_CTRL_WAITING);
}

// One data segment of len bytes into the TX window; false when the card had no room
// within the polls (nothing changed).
template <typename Session>
bool tcp_write_data(sw_tcp<Session>& t, const void* data, int len, bool stamp) {
  // The furthest acknowledgement sent, not rx_to_be_ackd alone: a data segment that
  // acknowledged less than the worker's idle ACK would read to the peer as old, and
  // one more than a window older as a blind injection it drops.
  const tcp_seq ack = t.ack_point();
  const tcp_seq seq = t.tx_seq;
  tcp_tx_desc& d = t.data_desc;
  d.tcp_flags = TCP_ACK;
  d.length = uint16_t(len);
  d.ack = ack.v;
  d.seq = seq.v;
  d.window = t.offered_window(ack);
  d.flags = uint16_t((d.flags & ~TCP_DESC_TX_TIMESTAMP) | (stamp ? TCP_DESC_TX_TIMESTAMP : 0));
  if (t.hw->tx_pio_.write(data, len, &d, TCP_TX_POLLS) != 0) return false;
  t.tx_seq = seq + uint32_t(len);
  t.tx_available_quota = t.tx_available_quota - len;
  t.rx_ack = ack;
  return true;
}

// Why a connection whose sending side is not open cannot send.
constexpr int tcp_send_state_error(int state) {
  if (state == TCP_LISTEN) return -ENOTCONN;
  if (state == TCP_SYN_SENT || state == TCP_SYN_RECV) return -EAGAIN;
  return -ECONNRESET;
}

// One segment of up to tx_mss bytes: 0; -EAGAIN (window or TX room short, or the
// handshake still running), -EFAULT (above the peer's MSS), -ECONNRESET or -ENOTCONN.
// With tx_id, the segment's transmit time is logged under the id stored there.
template <typename Session>
int tcp_send_segment(sw_tcp<Session>& t, const void* data, int len, uint64_t* tx_id) {
  if (!tcp_send_open(t.state)) return tcp_send_state_error(t.state);
  if (len > t.tx_mss) return -EFAULT;
  if (len > t.tx_available_quota) {
    tcp_refresh_quota(t);
    if (len > t.tx_available_quota) return -EAGAIN;
  }
  if (tcp_control_waiting(t) && !tcp_control_scan(t)) return -ENOTCONN;
  if (!tcp_write_data(t, data, len, tx_id != nullptr)) return -EAGAIN;
  if (tx_id) *tx_id = t.tx_log.next_id_++;
  return 0;
}

// The piece size of a long send: a peer with a smaller MSS gets smaller pieces, so the
// stream never has to skip a piece it cannot take.
template <typename Session>
int tcp_piece_bytes(const sw_tcp<Session>& t) {
  const int mss = t.tx_mss;
  return mss > 0 && mss < TCP_SEGMENT_BYTES ? mss : TCP_SEGMENT_BYTES;
}

// Writes every piece in order, spinning while the window, the TX room or the handshake
// hold a piece back, for as long as the connection lives: a peer that repairs heavy
// loss on a long retransmission timer is slow, not gone. 0 when all were written; the
// first piece's error once the connection can no longer send (its end is found by the
// worker: a reset, the card's reset request, the handshake's schedule; or here, by the
// control segments the card reports while the window is shut). On an error the pieces
// before the failing one have been sent. Only the first piece is stamped.
template <typename Session>
int tcp_send_pieces(sw_tcp<Session>& t, const uint8_t* data, int len, uint64_t* tx_id) {
  // No receive comes before this send ends: the worker acknowledges the peer's data from
  // now on, not 10 ms later, which under loss would hold up every repair of the peer's.
  t.last_rx_tsc = 0;
  for (int done = 0; done < len;) {
    const int piece = std::min(len - done, tcp_piece_bytes(t));
    const int rc = tcp_send_segment(t, data + done, piece, done == 0 ? tx_id : nullptr);
    if (rc == 0) done += piece;
    else if (rc != -EAGAIN) return rc;
    else if (tcp_send_open(t.state) && tcp_control_waiting(t) && !tcp_control_scan(t))
      return -ENOTCONN;
  }
  return 0;
}

// A send of len bytes: up to TCP_SEGMENT_BYTES as one segment (tcp_send_segment),
// longer ones in pieces (tcp_send_pieces). -EINVAL for a negative length or missing
// data.
template <typename Session>
int tcp_send(sw_tcp<Session>& t, const void* data, int len, uint64_t* tx_id) {
  if (len < 0 || (data == nullptr && len > 0)) return -EINVAL;
  if (len <= TCP_SEGMENT_BYTES) return tcp_send_segment(t, data, len, tx_id);
  return tcp_send_pieces(t, static_cast<const uint8_t*>(data), len, tx_id);
}

// 1 when our side is open and the window allows more than TCP_SEND_READY_BYTES - 1
// bytes.
template <typename Session>
int tcp_send_ready(sw_tcp<Session>& t) {
  if (!tcp_send_open(t.state)) return 0;
  if (t.tx_available_quota >= TCP_SEND_READY_BYTES) return 1;
  tcp_refresh_quota(t);
  return t.tx_available_quota >= TCP_SEND_READY_BYTES ? 1 : 0;
}

// ---- Receive -------------------------------------------------------------------------

// The peer's stream has ended. Half closed, the slots at the ring's head (the FIN's
// among them, all consumed) go back at once: a send's control scan would otherwise meet
// the FIN again on every call.
template <typename Session>
int tcp_receive_ended(sw_tcp<Session>& t) {
  if (t.state == TCP_CLOSE_WAIT) tcp_release_consumed(t, t.rx_seq);
  return -ENOTCONN;
}

// The next in-order bytes of the ring, in place: their length with *data pointing at
// them in the ring and *rx_ts_ns (when given) their receive time less rx_adj_ns; 0 with
// *data null when nothing is in order. Receiving goes on after our own FIN (FIN_WAIT1,
// FIN_WAIT2), so the peer's data after it is not lost. -ENOTCONN once the peer can send
// no more: the data before its FIN has been consumed (CLOSE_WAIT and later), or the
// connection has ended. The bytes stay valid, and the same ones come back, until
// tcp_zc_receive_done.
template <typename Session>
int tcp_zc_receive(sw_tcp<Session>& t, const void** data, uint64_t* rx_ts_ns, int32_t rx_adj_ns) {
  t.last_rx_tsc = __rdtsc();
  const uint64_t adj = uint64_t(int64_t(rx_adj_ns));
  *data = nullptr;
  if (rx_ts_ns) *rx_ts_ns = 0 - adj;
  if (!tcp_receive_open(t.state)) return tcp_receive_ended(t);
  int result = 0;
  bool beyond_gap = false;
  tcp_walk_ring(t, [&](tcp_ring_slot& rs) {
    if (!tcp_take_control(t, rs, tcp_receive_open)) {
      result = -ENOTCONN;
      return false;
    }
    if (!rs.ok) return true;
    if (rs.seg.payload_len == 0) {
      tcp_answer_before_window(t, rs, t.rx_seq);
      return true;
    }
    if (!t.rx_data_seen) t.rx_data_seen = 1;
    if (!tcp_seq::in_window(t.rx_seq, rs.seg.seq, rs.seg.payload_len)) {
      // Old or beyond a gap: the peer learns once where we are, a duplicate ACK for
      // each such segment, as its fast retransmit counts them. Where in-order data
      // has been acknowledged ahead of consumption, that is where we are: a lower
      // number would read as an old ACK and count for nothing.
      if (rs.take_flag()) tcp_ring_doorbell(t, t.ack_point());
      beyond_gap = beyond_gap || rs.seg.seq > t.rx_seq;
      return true;
    }
    t.rx_gap_filled = beyond_gap;
    const uint32_t skip = t.rx_seq - rs.seg.seq;
    result = t.pending_len = int(rs.seg.payload_len - skip);
    *data = rs.seg.payload + skip;
    if (rx_ts_ns) *rx_ts_ns = kvel::card_time_to_ns(kvel::rx_dma_ring::slot_time(rs.slot)) - adj;
    return false;
  });
  return result;
}

// While in-order data is acknowledged ahead of consumption (the worker's idle ACK of a
// reader that paused), consumption moves no acknowledgement but opens the window we
// offer at that point, which the peer, stopped at its right edge, has to hear of: a
// window update each time `consumed` bytes take the window across a step of
// TCP_DOORBELL_MSS x MSS (at most half the window), the first as it opens from (near)
// zero (RFC 9293 3.8.6.2.2). Each update changes the window, so the peer counts none as
// a duplicate ACK.
template <typename Session>
void tcp_window_update(sw_tcp<Session>& t, uint32_t consumed) {
  const tcp_seq a = t.ack_point();
  const uint32_t step = std::max(1u, std::min(t.rx_window / 2, uint32_t(TCP_DOORBELL_MSS * t.tx_mss)));
  const uint32_t ahead = a - t.rx_seq;
  if (t.window_room(ahead) / step == t.window_room(ahead + consumed) / step) return;
  tcp_ring_doorbell(t, a);
  t.release_count = 0;
}

// The doorbell on the release that finds the counter above TCP_DOORBELL_RELEASES, or
// when more than TCP_DOORBELL_MSS x MSS bytes are unacknowledged; a window update
// instead where the acknowledgement is ahead of consumption.
template <typename Session>
void tcp_ack_consumed(sw_tcp<Session>& t, uint32_t consumed) {
  if (t.acked_ahead()) return tcp_window_update(t, consumed);
  const uint32_t unacked = std::min(t.rx_seq - t.rx_ack, t.rx_seq - t.bk_rx_ack);
  if (t.release_count <= TCP_DOORBELL_RELEASES &&
      unacked <= uint32_t(TCP_DOORBELL_MSS * t.tx_mss)) {
    t.release_count += 1;
    return;
  }
  tcp_ring_doorbell(t, t.rx_seq);
  t.rx_ack = t.bk_rx_ack = t.rx_seq;
  t.release_count = 0;
}

// The segment that filled a gap has been consumed: one ACK now covers it and all the
// in-order data that waited behind it in the ring, up to the next gap. Acknowledged
// piece by piece as the application consumes it, the peer would take each ACK for a
// partial one, resend the segment after it for nothing, and count the duplicate ACKs
// those resends draw as reordering. The window stays what it is, so the ACK goes at
// most one window beyond what the application has consumed: the peer may then send
// two windows ahead of the application, which the ring (four windows) holds. An end
// already acknowledged goes out no second time (the peer would count it as one more
// duplicate ACK): the batched acknowledgement of consumption stands in for it.
template <typename Session>
void tcp_ack_gap_filled(sw_tcp<Session>& t, uint32_t consumed) {
  t.rx_gap_filled = 0;
  tcp_seq a = tcp_in_order_end(t, t.rx_seq);
  if (a - t.rx_seq > t.rx_window) a = t.rx_seq + t.rx_window;
  if (a <= t.ack_point()) return tcp_ack_consumed(t, consumed);
  tcp_ring_doorbell(t, a);
  t.rx_ack = t.bk_rx_ack = a;
  t.release_count = 0;
}

// Gives the ring back every slot at its head that is wholly consumed; stops at the first
// one that is not, and where a FIN or RST ends the connection. The peer's FIN that
// leaves us in CLOSE_WAIT does not stop it: everything before that FIN is consumed.
// A slot from before `window` (rx_seq before the consumption that frees it) that the
// card left to software and no receive met is answered as it goes: a probe behind data.
// One at `window` is not: it was no probe when it came.
template <typename Session>
void tcp_release_consumed(sw_tcp<Session>& t, tcp_seq window) {
  kvel::rx_dma_ring& ring = t.hw->rx_dma_;
  tcp_walk_ring(t, [&](tcp_ring_slot& rs) {
    if (rs.ok && (rs.seg.flags & (TCP_FIN | TCP_RST))) {
      t.tcp_process_fsm_rx(rs.header, rs.len);
      if (!tcp_receive_open(t.state) && t.state != TCP_CLOSE_WAIT) return false;
    }
    if (rs.ok && rs.last_byte() >= t.rx_seq) return false;
    tcp_answer_before_window(t, rs, window);
    ring.release_slot();
    t.rx_rdptr = ring.rdptr_;
    return true;
  });
}

// Consumes what the last tcp_zc_receive returned, acknowledges in batches and releases
// the consumed slots. A second call without a receive in between consumes nothing.
template <typename Session>
int tcp_zc_receive_done(sw_tcp<Session>& t) {
  const tcp_seq window = t.rx_seq;
  const uint32_t consumed = uint32_t(t.pending_len);
  t.consume_rx(consumed);
  t.pending_len = 0;
  if (t.rx_gap_filled) tcp_ack_gap_filled(t, consumed);
  else tcp_ack_consumed(t, consumed);
  tcp_release_consumed(t, window);
  return 0;
}

}  // namespace vyxtcp
