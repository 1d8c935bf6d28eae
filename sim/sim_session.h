// The one session a descriptor may hold: its kind ('Q' UDP, 'U' TCP, 'S' Ethernet),
// port and number on that port, its regions (register page, TX window, feedback page,
// receive ring, TX time-stamp log) and its datapath state.
//
// The card's session table (sim_card) lists every session. Its mutex is held by the
// datapath while it works on a session and by the request server while it changes
// one (allocation, filter, mappings, release), so a released descriptor gets nothing
// delivered once its release is done.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "sim_region.h"
#include "sim_retx.h"
#include "sim_rxring.h"
#include "sim_tcp.h"
#include "sim_txwin.h"
#include "sim_udp.h"

namespace zsim {

struct sim_port;

constexpr char SESSION_UDP = 'Q';
constexpr char SESSION_TCP = 'U';
constexpr char SESSION_ETH = 'S';

using counter = std::atomic<uint64_t>;

struct session_counters {
  counter tx_frames{0}, tx_bytes{0}, tx_bad_desc{0};
  counter rx_delivered{0}, rx_drop_ring_full{0}, rx_drop_checksum{0}, rx_drop_zero_length{0},
      rx_drop_too_long{0}, rx_drop_stopped{0};
  // TCP only: segments left to the software, ACKs that only updated the acknowledgement
  // block, doorbell ACKs and resets sent by the card.
  counter rx_software{0}, rx_txack_only{0}, tx_doorbell_acks{0}, tx_resets{0};
  // TCP only: the card's data retransmission (as the port counters of that name).
  counter tx_retransmits{0}, tx_fast_retransmits{0}, tx_window_probes{0}, reset_requests{0};
};

// A session's counter and its port's together.
inline void bump(counter& session, counter& port, uint64_t n = 1) {
  session.fetch_add(n, std::memory_order_relaxed);
  port.fetch_add(n, std::memory_order_relaxed);
}

struct sim_session {
  char kind;
  int port;  // port index on the descriptor's device
  int slot;  // the session's number among those of its kind on the port
  sim_port* wire;
  sim_region regs;
  sim_region feedback;
  sim_txwin tx;
  sim_rxring rx;
  std::unique_ptr<sim_region> ts_log;
  uint64_t ts_entries = 0;  // of the log as mapped
  uint64_t ts_sends = 0;    // stamped sends so far
  uint16_t ip_id = 0;
  udp_filter filter;  // UDP sessions
  tcp_state tcp;      // TCP sessions
  retx_queue retx;    // TCP sessions: the payload the peer has not acknowledged
  sim_region events;  // TCP sessions: the ACK doorbell's event queue (sim_doorbell.h)
  uint64_t events_head = 0;  // the next write to take from it; under the table's mutex
  session_counters counters;
};

// A session of kind ('Q', 'U' or 'S') numbered slot on port: its pages made and its
// registers set; null with errno when memory runs out.
std::unique_ptr<sim_session> session_make(char kind, sim_port* port, int index, int slot);

// The session's region that an mmap at offset selects, made or reset as the mapping
// requires (ring and time-stamp log sized from len, the TX window poisoned afresh);
// null with *err. The caller holds the session table's mutex.
sim_region* session_map(sim_session& s, uint64_t offset, uint64_t len, int* err);

}  // namespace zsim
