#include "sim_tcp_path.h"

#include <cstring>

#include "sim_clock.h"
#include "sim_datapath.h"
#include "sim_doorbell.h"
#include "sim_listen.h"
#include "sim_session.h"
#include "sim_session_tx.h"
#include "sim_tcp_retx.h"
#include "sim_vlan.h"

namespace zsim {
namespace {

constexpr uint8_t BASE_HDR_WORDS = 5;

// The addresses a segment leaves the port with on a VLAN slot (0: none): the port's
// MAC, and its address on that VLAN or on the port itself. False for an empty slot.
bool frame_addr(const sim_port& port, uint8_t vlan_slot, unsigned char* mac, tcp_frame_addr* a) {
  uint64_t m = port.fiber.reg(FIBER_MAC);
  for (int i = 0; i < 6; ++i) mac[i] = uint8_t(m >> (40 - 8 * i));
  a->src_mac = mac;
  a->vlan_id = vlan_id_of_slot(port, vlan_slot);
  if (vlan_slot && !a->vlan_id) return false;
  a->src_ip =
      vlan_slot ? vlan_ip_of_slot(port, vlan_slot) : uint32_t(port.fiber.reg(FIBER_LOCAL_IP));
  return true;
}

// A segment left for the peer: snd_nxt moves to its end when that lies further on, and
// its acknowledgement, when further on, is what has been received (rcv_nxt catches up
// over data that came out of order and was filled in later).
void note_sent(tcp_state& t, uint32_t seq, uint32_t len, uint8_t flags, uint32_t ack) {
  if (!t.snd_known || seq_after(seq + len, t.snd_nxt)) t.snd_nxt = seq + len;
  t.snd_known = true;
  if (!(flags & TCP_ACK) || (t.ack_sent_known && !seq_after(ack, t.ack_sent))) return;
  t.ack_sent = ack;
  t.ack_sent_known = true;
  if (t.rcv_known && seq_after(ack, t.rcv_nxt)) t.rcv_nxt = ack;
}

// Builds and sends the segment of lines (descriptor first); false when the descriptor
// cannot become a frame.
bool send_segment(sim_session& s, const unsigned char* lines) {
  tcp_tx_desc d;
  memcpy(&d, lines, sizeof d);
  unsigned char mac[ETH_ADDR_BYTES];
  tcp_frame_addr a;
  unsigned char frame[TCP_MAX_FRAME];
  size_t len =
      frame_addr(*s.wire, uint8_t(d.slot_hdr >> 4), mac, &a) ? tcp_frame_build(lines, a, frame) : 0;
  if (len == 0) return false;
  tcp_state& t = s.tcp;
  note_sent(t, d.seq, tcp_desc_seq_len(d), d.tcp_flags, d.ack);
  t.win_sent = d.window;
  t.ttl_sent = d.ttl;
  memcpy(t.peer_mac, d.next_hop_mac, sizeof t.peer_mac);
  t.mac_known = true;
  if (wire_send(*s.wire, frame, len)) {
    bump(s.counters.tx_frames, s.wire->counters.tcp_tx_frames);
    bump(s.counters.tx_bytes, s.wire->counters.tcp_tx_bytes, len);
  }
  retx_sent(s, d, frame, len);
  return true;
}

void send_lines(sim_session& s, const unsigned char* lines, bool bad) {
  if (bad || !send_segment(s, lines))
    bump(s.counters.tx_bad_desc, s.wire->counters.tcp_tx_bad_desc);
}

constexpr tx_sender TCP_SENDER = {tcp_send_lines, send_lines};

// A segment the card makes itself, without payload, `below` bytes before its snd_nxt:
// false while the connection has not shown enough of itself to address one.
bool send_own(sim_session& s, uint32_t ack, uint16_t window, uint8_t ttl, uint8_t flags,
              uint32_t below = 0) {
  const tcp_state& t = s.tcp;
  if (!t.bind.bound || !t.mac_known || !t.snd_known) return false;
  tcp_tx_desc d{};
  d.remote_port = t.bind.remote_port;
  d.local_port = t.bind.local_port;
  d.remote_ip = t.bind.remote_ip;
  d.ack = ack;
  d.seq = t.snd_nxt - below;
  memcpy(d.next_hop_mac, t.peer_mac, sizeof d.next_hop_mac);
  d.window = window;
  d.tcp_flags = flags;
  d.ttl = ttl;
  d.slot_hdr = uint8_t(t.bind.vlan_slot << 4 | BASE_HDR_WORDS);
  alignas(64) unsigned char line[TXWIN_LINE_BYTES] = {};
  memcpy(line, &d, sizeof d);
  return send_segment(s, line);
}

// {u32 ack, u16 window, u8 duplicate count, u8 flags} in one store.
void publish_txack(sim_session& s) {
  const tcp_state& t = s.tcp;
  uint64_t v = uint64_t(t.ack) | uint64_t(t.win) << 32 | uint64_t(t.dup_acks) << 48 |
               uint64_t(t.ack_flags) << 56;
  __atomic_store_n(reinterpret_cast<uint64_t*>(s.feedback.bytes() + FEEDBACK_TXACK), v,
                   __ATOMIC_RELEASE);
}

void note_ack(tcp_state& t, const tcp_view& v) {
  bool same = t.ack_known && v.ack == t.ack;
  if (same && v.payload_len == 0 && !(v.flags & TCP_CONTROL_FLAGS) && v.window == t.win) {
    if (t.dup_acks < UINT8_MAX) ++t.dup_acks;
    return;
  }
  if (t.ack_known && !same && !seq_after(v.ack, t.ack)) return;  // an old one, overtaken
  if (!same) t.dup_acks = 0;
  t.ack_known = true;
  t.ack = v.ack;
  t.win = v.window;
}

void count_place(sim_session& s, rx_place r, bool software) {
  session_counters& sc = s.counters;
  port_counters& pc = s.wire->counters;
  switch (r) {
    case rx_place::placed:
      if (software) bump(sc.rx_software, pc.tcp_rx_software);
      return bump(sc.rx_delivered, pc.tcp_rx_delivered);
    case rx_place::full:
      return bump(sc.rx_drop_ring_full, pc.tcp_rx_drop_ring_full);
    case rx_place::stopped:
      return bump(sc.rx_drop_stopped, pc.tcp_rx_drop_stopped);
    case rx_place::too_long:
      return bump(sc.rx_drop_too_long, pc.tcp_rx_drop_too_long);
  }
}

// Whether the segment's sequence space begins where the card expects the next one.
bool in_order(const tcp_state& t, const tcp_view& v) {
  if (v.flags & TCP_SYN) return !t.rcv_known;
  return t.rcv_known && v.seq == t.rcv_nxt;
}

// Whether the segment takes rcv_nxt further: it begins at or before it and ends after
// it, so a resend that fills a hole moves rcv_nxt over what it brings.
bool moves_rcv_nxt(const tcp_state& t, const tcp_view& v) {
  if (v.flags & TCP_SYN) return !t.rcv_known;
  return t.rcv_known && !seq_after(v.seq, t.rcv_nxt) &&
         seq_after(v.seq + tcp_seq_len(v), t.rcv_nxt);
}

// A segment without payload from before rcv_nxt (a keepalive or a probe of our window,
// at rcv_nxt - 1) is not acceptable: the software owes it an ACK of where the
// connection stands, which the card does not send by itself. An ACK at rcv_nxt is no
// such segment.
bool before_window(const tcp_state& t, const tcp_view& v) {
  return t.rcv_known && v.payload_len == 0 && seq_after(t.rcv_nxt, v.seq);
}

void deliver(sim_session& s, const tcp_view& v) {
  tcp_state& t = s.tcp;
  if (!tcp_checksums_ok(v))
    return bump(s.counters.rx_drop_checksum, s.wire->counters.tcp_rx_drop_checksum);
  memcpy(t.peer_mac, v.ip.src_mac, sizeof t.peer_mac);
  t.mac_known = true;
  retx_peer(s, v);
  bool offload = s.regs.reg(REG_ACK_OFFLOAD / 8) == ACK_OFFLOAD_ON;
  bool next = in_order(t, v);
  bool acked_beyond = (v.flags & TCP_ACK) && (!t.snd_known || seq_after(v.ack, t.snd_nxt));
  bool software = !offload || (v.flags & TCP_CONTROL_FLAGS) || acked_beyond ||
                  (v.payload_len && !next) || before_window(t, v);
  if (offload && (v.flags & TCP_ACK) && !acked_beyond) note_ack(t, v);
  if (offload && !software && v.payload_len == 0) {
    publish_txack(s);
    return bump(s.counters.rx_txack_only, s.wire->counters.tcp_rx_txack_only);
  }
  unsigned char hdr[TCP_SLOT_HDR_LEN];
  tcp_slot_header(card_time_now(), software, hdr);
  rx_place r = s.rx.write(s.regs, hdr, sizeof hdr, v.tcp, v.tcp_len);
  count_place(s, r, software);
  bool placed = r == rx_place::placed;
  // Only what the ring holds moves rcv_nxt: a dropped segment comes again.
  if (placed && moves_rcv_nxt(t, v)) {
    t.rcv_nxt = v.seq + tcp_seq_len(v);
    t.rcv_known = true;
  }
  if (!offload) return;
  if (placed && (v.flags & TCP_FIN)) t.ack_flags |= TXACK_FIN_WAITING;
  if (placed && (v.flags & TCP_RST)) t.ack_flags |= TXACK_RST_WAITING;
  publish_txack(s);
}

// The bound session of the port whose connection the segment belongs to, seen from
// the side that receives it (peer: the segment comes from the peer).
sim_session* session_of(sim_session_table& table, const sim_port& port, const tcp_view& v,
                        bool from_peer) {
  int slot = vlan_slot_of(port, v.ip.vlan_id);
  uint32_t remote_ip = from_peer ? v.ip.src_ip : v.ip.dst_ip;
  uint16_t remote_port = from_peer ? v.src_port : v.dst_port;
  uint16_t local_port = from_peer ? v.dst_port : v.src_port;
  for (sim_session* s : table.sessions) {
    const tcp_binding& b = s->tcp.bind;
    if (s->kind == SESSION_TCP && s->wire == &port && b.bound && b.remote_ip == remote_ip &&
        b.remote_port == remote_port && b.local_port == local_port && b.vlan_slot == slot)
      return s;
  }
  return nullptr;
}

// A probe of the peer's shut window: a segment without payload one below snd_nxt,
// outside any window the peer can have, which it must answer with an ACK that shows its
// window as it stands (a window update of its own may have been lost). The card holds
// none of the data the software has yet to send, so the probe carries none, as Linux's
// own probe carries none while the window is shut.
int send_probe(sim_session& s) {
  const tcp_state& t = s.tcp;
  if (!send_own(s, tcp_ack_now(t), t.win_sent, t.ttl_sent, TCP_ACK, 1)) return 0;
  bump(s.counters.tx_window_probes, s.wire->counters.tcp_tx_window_probes);
  return 1;
}

// The card's timers: resends, window probes, and when the card gives up, the reset
// request for the software.
int retransmit(sim_session& s, int64_t now) {
  switch (retx_poll(s, now)) {
    case retx_action::resend_first:
      return 1;
    case retx_action::probe:
      return send_probe(s);
    case retx_action::give_up:
      s.tcp.ack_flags |= TXACK_RESET_REQUEST;
      publish_txack(s);
      return 0;
    case retx_action::none:
      return 0;
  }
  return 0;
}

}  // namespace

int tcp_tx_poll(sim_card& card) {
  sim_session_table& table = card.sessions;
  if (table.count.load(std::memory_order_relaxed) == 0) return 0;
  std::lock_guard<std::mutex> lock(table.mutex);
  int64_t now = monotonic_ns();
  int sends = 0;
  for (sim_session* s : table.sessions)
    if (s->kind == SESSION_TCP)
      sends += session_tx(*s, TCP_SENDER) + doorbell_drain(*s) + retransmit(*s, now);
  return sends;
}

void tcp_doorbell(sim_session& s, uint64_t value) {
  if (send_own(s, uint32_t(value), uint16_t(value >> 32), uint8_t(value >> 50), TCP_ACK))
    bump(s.counters.tx_doorbell_acks, s.wire->counters.tcp_tx_doorbell_acks);
  else
    bump(s.counters.tx_bad_desc, s.wire->counters.tcp_tx_bad_desc);
}

void tcp_release(sim_session& s) {
  session_tx_flush(s, TCP_SENDER);
  tcp_state& t = s.tcp;
  if (!t.rst_armed) return;
  uint8_t flags = t.rcv_known ? TCP_RST | TCP_ACK : TCP_RST;
  if (send_own(s, t.rcv_known ? t.rcv_nxt : 0, 0, t.rst_ttl, flags))
    bump(s.counters.tx_resets, s.wire->counters.tcp_tx_resets);
}

bool tcp_rx_take(sim_card& card, sim_port& port, const unsigned char* frame, size_t len) {
  tcp_view v;
  if (!tcp_frame_parse(frame, len, &v)) return false;
  sim_session_table& table = card.sessions;
  std::lock_guard<std::mutex> lock(table.mutex);
  if (sim_session* s = session_of(table, port, v, true)) {
    deliver(*s, v);
    return true;
  }
  return listener_offer(table, port, v, frame, len);
}

void tcp_host_frame(sim_card& card, sim_port& port, const unsigned char* frame, size_t len) {
  if (card.sessions.count.load(std::memory_order_relaxed) == 0) return;
  tcp_view v;
  if (!tcp_frame_parse(frame, len, &v)) return;
  std::lock_guard<std::mutex> lock(card.sessions.mutex);
  sim_session* s = session_of(card.sessions, port, v, false);
  if (!s) return;
  note_sent(s->tcp, v.seq, tcp_seq_len(v), v.flags, v.ack);
  if (v.flags & TCP_RST) retx_stop(s->retx);
}

}  // namespace zsim
