#include "sim_udp_path.h"

#include <cstring>

#include "sim_clock.h"
#include "sim_datapath.h"
#include "sim_session.h"
#include "sim_session_tx.h"

namespace zsim {
namespace {

void send(sim_session& s, const udp_tx_desc& d, const unsigned char* lines) {
  port_counters& pc = s.wire->counters;
  uint16_t vlan_id = vlan_id_of_slot(*s.wire, d.vlan_slot);
  if (d.vlan_slot && !vlan_id) return bump(s.counters.tx_bad_desc, pc.udp_tx_bad_desc);
  unsigned char frame[UDP_MAX_FRAME];
  size_t len = udp_frame_build(lines, vlan_id, s.ip_id++, frame);
  if (!wire_send(*s.wire, frame, len)) return;
  bump(s.counters.tx_frames, pc.udp_tx_frames);
  bump(s.counters.tx_bytes, pc.udp_tx_bytes, len);
}

void send_lines(sim_session& s, const unsigned char* lines, bool bad) {
  if (bad) return bump(s.counters.tx_bad_desc, s.wire->counters.udp_tx_bad_desc);
  udp_tx_desc d;
  memcpy(&d, lines, sizeof d);
  send(s, d, lines);
}

constexpr tx_sender UDP_SENDER = {udp_send_lines, send_lines};

void deliver(sim_session& s, const udp_view& v, bool sums_ok, uint64_t rx_time) {
  session_counters& sc = s.counters;
  port_counters& pc = s.wire->counters;
  if (!sums_ok) return bump(sc.rx_drop_checksum, pc.udp_rx_drop_checksum);
  // A length of 0 marks an empty slot: such a datagram has no place in a ring.
  if (v.len == 0) return bump(sc.rx_drop_zero_length, pc.udp_rx_drop_zero_length);
  unsigned char hdr[UDP_SLOT_HDR_LEN];
  udp_slot_header(v, rx_time, hdr);
  switch (s.rx.write(s.regs, hdr, sizeof hdr, v.payload, v.len)) {
    case rx_place::placed:
      return bump(sc.rx_delivered, pc.udp_rx_delivered);
    case rx_place::full:
      return bump(sc.rx_drop_ring_full, pc.udp_rx_drop_ring_full);
    case rx_place::stopped:
      return bump(sc.rx_drop_stopped, pc.udp_rx_drop_stopped);
    case rx_place::too_long:
      return bump(sc.rx_drop_too_long, pc.udp_rx_drop_too_long);
  }
}

// The port's sessions whose filters take the datagram get it: every one for a group
// address, else the first. False when none does.
bool deliver_to_sessions(sim_session_table& table, const sim_port& port, const udp_view& v,
                         uint8_t vlan_slot) {
  const uint64_t now = card_time_now();
  int sums_ok = -1;  // checked once, when the first session takes the datagram
  bool taken = false;
  std::lock_guard<std::mutex> lock(table.mutex);
  for (sim_session* s : table.sessions) {
    if (s->kind != SESSION_UDP || s->wire != &port || !udp_filter_matches(s->filter, v, vlan_slot))
      continue;
    if (sums_ok < 0) sums_ok = udp_checksums_ok(v);
    deliver(*s, v, sums_ok, now);
    taken = true;
    if (!udp_for_every_match(v)) break;
  }
  return taken;
}

}  // namespace

int udp_tx_poll(sim_card& card) {
  sim_session_table& table = card.sessions;
  if (table.count.load(std::memory_order_relaxed) == 0) return 0;
  std::lock_guard<std::mutex> lock(table.mutex);
  int sends = 0;
  for (sim_session* s : table.sessions)
    if (s->kind == SESSION_UDP) sends += session_tx(*s, UDP_SENDER);
  return sends;
}

void udp_tx_flush(sim_session& s) { session_tx_flush(s, UDP_SENDER); }

bool udp_rx_take(sim_card& card, sim_port& port, const unsigned char* frame, size_t len) {
  udp_view v;
  if (!udp_frame_parse(frame, len, &v)) return false;
  int slot = vlan_slot_of(port, v.vlan_id);
  bool taken = slot >= 0 && card.sessions.count.load(std::memory_order_relaxed) > 0 &&
               deliver_to_sessions(card.sessions, port, v, uint8_t(slot));
  if (!taken) port.counters.udp_rx_filter_miss.fetch_add(1, std::memory_order_relaxed);
  return taken;
}

}  // namespace zsim
