// The connection's worker thread: one per hardware TCP connection, from its first SYN
// or SYN-ACK to the handle's release.
//
// During the handshake it finds the peer's segments in the receive ring, hands them to
// the state machine and resends on the engine's schedule. Once established, and in the
// closing states until the connection is final, it acknowledges data when the
// application stops reading, sends the acknowledgement that consumption still owes,
// executes the card's reset request and handles control segments (while established,
// only until the application has met its first data). The FIN resend schedule of the
// closing states runs here too, and so does the look into the card's acknowledgement
// block for the peer's ACK of our FIN.
//
// The worker shares the engine with the application's thread as the engine's fields
// state (vyx_tcp.h): it runs the state machine under fsm_lock, reads the application's
// fields as relaxed atomics, and writes only rx_highest besides. Every segment it sends
// goes out from a copy of the control descriptor on its own stack.
//
// Acknowledgements while the application does not receive (it may sit in a long send):
// the in-order data in the ring, once per new point; and every data segment the card
// left to software (old, repeated, beyond a gap), each with an ACK of its own, so that
// a peer whose earlier ACK was lost hears again where we are, and a peer missing a
// segment counts the duplicate ACKs of its fast retransmit.
#pragma once
#include <x86intrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "diag.h"
#include "signals_held.h"
#include "rx_dma_ring.h"
#include "tcp_ring_walk.h"
#include "vyx_tcp.h"
#include "vyx_tcp_status.h"
#include "zorvtime.h"

namespace vyxtcp {

constexpr int TCP_WORKER_HANDSHAKE_SLEEP_US = 100;
constexpr int TCP_WORKER_SLEEP_US = 5000;
constexpr uint64_t TCP_IDLE_MS = 10;
constexpr uint64_t TCP_IDLE_SLACK_TICKS = 10000;
constexpr uint8_t TCP_RESET_REQUEST = 0x04;               // txack fin_rst_flags

// The worker's clocks for one pass: CLOCK_MONOTONIC for the resend schedule, the
// time-stamp counter for the idle measure (the receive call stamps last_rx_tsc with it).
struct tcp_worker_clock {
  timespec mono;
  uint64_t tsc;
  uint64_t tsc_hz;
};

inline tcp_worker_clock tcp_worker_clock_now() {
  return {tcp_now(), __rdtsc(), kvel::get_tsc_hz()};
}

// Short sleeps while a handshake waits for the peer, and while the peer's data streams
// in that only the worker acknowledges (`acking`: the last pass sent an ACK for it):
// a peer without selective acknowledgements repairs one loss per round trip, and the
// worker's pace is that round trip while the application sits in a long send. Long
// sleeps otherwise.
constexpr int tcp_worker_sleep_us(int state, bool acking) {
  return acking || state == TCP_SYN_SENT || state == TCP_SYN_RECV ? TCP_WORKER_HANDSHAKE_SLEEP_US
                                                                  : TCP_WORKER_SLEEP_US;
}

// A control segment with acknowledgement `ack` and sequence `seq`, from the worker's
// own copy of the control descriptor (taken under the lock); true when it left.
template <typename S>
bool tcp_worker_send(sw_tcp<S>& tcp, uint8_t flags, tcp_seq ack, tcp_seq seq) {
  tcp_tx_desc d;
  {
    const std::lock_guard<std::mutex> hold(tcp.fsm_lock);
    d = tcp.ctrl_copy(flags, seq, ack);
  }
  return tcp.hw->send_control_segment(nullptr, 0, &d) >= 0;
}

// The peer repeats its SYN-ACK when our ACK was lost: a pure ACK for each flagged one.
// True when the slot was such a SYN.
template <typename S>
bool tcp_reack_syn(sw_tcp<S>& tcp, const tcp_ring_slot& s) {
  if (!s.ok || !s.seg.has(TCP_SYN) || !s.flagged() || tcp.state != TCP_ESTABLISHED) return false;
  if (s.take_flag()) tcp_worker_send(tcp, TCP_ACK, tcp.rx_seq, tcp.tx_seq);
  return true;
}

// A segment from before our window that the card left to software
// (tcp_ring_slot::owes_ack_before): one ACK of where we are. True when the slot was one.
template <typename S>
bool tcp_worker_answer_before_window(sw_tcp<S>& tcp, const tcp_ring_slot& s) {
  if (!s.owes_ack_before(tcp.rx_seq)) return false;
  if (s.take_flag()) tcp_worker_send(tcp, TCP_ACK, tcp.ack_point(), tcp.tx_seq);
  return true;
}

// Data without FIN or RST while the peer may send: what matters of it is acknowledged
// (the idle ACK here, or the receive path), and its own acknowledgement reaches the
// card's block.
inline bool tcp_plain_data(const tcp_ring_slot& s) {
  return s.seg.payload_len > 0 && !(s.seg.flags & (TCP_FIN | TCP_RST));
}

// Flagged segments go to the state machine, each once: its flag is taken first, so a
// segment is not handed over again on every pass. Plain data keeps its flag while the
// peer may send, for the acknowledgement it is owed. Established, the walk ends at a RST
// behind data the application has not consumed: taken here it would close the
// connection with that data still in the ring, and the receive path, which meets the
// RST after the data, answers the reset only once the data is read, as the kernel does.
// A FIN behind such data is taken (acknowledged) as it comes.
template <typename S>
void tcp_worker_scan(sw_tcp<S>& tcp) {
  tcp_walk_ring(tcp, [&tcp](const tcp_ring_slot& s) {
    if (!s.ok || tcp_reack_syn(tcp, s) || tcp_worker_answer_before_window(tcp, s)) return true;
    if (tcp_plain_data(s) && tcp_receive_open(tcp.state)) return true;
    if ((s.seg.flags & TCP_RST) && tcp.state == TCP_ESTABLISHED && tcp.rx_seq < s.seg.seq)
      return false;
    if (s.take_flag()) tcp.tcp_process_fsm_rx(s.header, s.len);
    return true;
  });
}

// A data segment the card left to software, or a segment from before our window,
// taken by this thread: it is owed one ACK. The receive path takes such segments the
// same way, so each draws one ACK only.
inline bool tcp_take_owed(const tcp_ring_slot& s, tcp_seq rx_seq) {
  return s.ok && (tcp_plain_data(s) || s.owes_ack_before(rx_seq)) && s.take_flag();
}

// The application has not called the receive for about 10 ms. A counter read on
// another core may be a little ahead of ours: that is not idleness.
inline bool tcp_rx_idle(uint64_t last_rx_tsc, const tcp_worker_clock& now) {
  if (last_rx_tsc > now.tsc) return false;
  return now.tsc - last_rx_tsc + TCP_IDLE_SLACK_TICKS > now.tsc_hz / 1000 * TCP_IDLE_MS;
}

// Where the idle acknowledgement starts: the last acknowledgement sent that is not
// beyond rx_seq, or rx_highest when that is ahead of it (already acknowledged).
template <typename S>
tcp_seq tcp_idle_ack_start(sw_tcp<S>& tcp) {
  const tcp_seq seq = tcp.rx_seq;
  const tcp_seq ack = tcp.rx_ack;
  const tcp_seq bk = tcp.bk_rx_ack;
  tcp_seq a = ack;
  if (ack <= seq && bk <= seq) a = ack >= bk ? ack : bk;
  else if (bk <= seq) a = bk;
  const uint32_t ahead = tcp.rx_highest - a;
  if (ahead >= 1 && ahead <= TCP_HIGHEST_KEPT_AHEAD) return tcp.rx_highest;
  tcp.rx_highest = a;
  return a;
}

// Acknowledges all in-order data in the ring, once per new point (data behind a gap
// waits), and every data segment the card left to software with an ACK of its own.
// True when it sent any.
template <typename S>
bool tcp_idle_ack(sw_tcp<S>& tcp) {
  int owed = 0;
  const tcp_seq a = tcp_in_order_end(tcp, tcp_idle_ack_start(tcp), [&](const tcp_ring_slot& s) {
    if (!tcp_reack_syn(tcp, s) && tcp_take_owed(s, tcp.rx_seq)) owed += 1;
  });
  if (a != tcp.rx_highest) owed = std::max(owed, 1);
  tcp.rx_highest = a;
  const bool sent = owed > 0;
  for (; owed > 0; --owed) tcp_worker_send(tcp, TCP_ACK, a, tcp.tx_seq);
  return sent;
}

// The application consumed data that neither its own acknowledgements nor the worker's
// have covered yet. Read while the application moves on, the values may be a moment
// old: the worst is one ACK for rx_seq more than needed.
template <typename S>
void tcp_lagging_ack(sw_tcp<S>& tcp) {
  const tcp_seq seq = tcp.rx_seq;
  if (tcp.rx_highest >= seq) return;
  const bool acked = tcp.rx_ack.load() - seq <= TCP_HIGHEST_KEPT_AHEAD ||
                     tcp.bk_rx_ack.load() - seq <= TCP_HIGHEST_KEPT_AHEAD;
  if (!acked && !tcp_worker_send(tcp, TCP_ACK, seq, tcp.tx_seq))
    puts(KVEL_RED "Internal error sending ack\n");
  tcp.rx_highest = seq;
}

// The card gave up on the connection. Only while connected: the close leaves that for
// good, so a request the card leaves standing is executed once.
template <typename S>
void tcp_reset_request(sw_tcp<S>& tcp) {
  volatile txack* block = tcp.hw->txack_;
  if (block == nullptr || (block->fin_rst_flags & TCP_RESET_REQUEST) == 0) return;
  const std::lock_guard<std::mutex> hold(tcp.fsm_lock);
  if (!tcp_connected(tcp.state)) return;
  puts("Send reset");
  tcp.send_ctrl(TCP_RST, tcp.tx_seq);
  tcp.close();
}

// True when the idle acknowledgement sent an ACK.
template <typename S>
bool tcp_worker_connected(sw_tcp<S>& tcp, const tcp_worker_clock& now) {
  // While the peer may send. Once its FIN is taken, the state machine's ACK of it
  // covers every byte before it.
  bool acked = false;
  if (tcp_receive_open(tcp.state)) {
    acked = tcp_rx_idle(tcp.last_rx_tsc, now) && tcp_idle_ack(tcp);
    tcp_lagging_ack(tcp);
  }
  tcp_reset_request(tcp);
  // Established, from the first data on, the receive path handles control segments
  // itself; once closing, the application may no longer receive (CLOSE_WAIT, LAST_ACK)
  // or wait only for the state to change.
  if (tcp.state != TCP_ESTABLISHED || !tcp.rx_data_seen) tcp_worker_scan(tcp);
  return acked;
}

// One pass of the worker, at the time `now`; true when it acknowledged the peer's data
// (tcp_worker_sleep_us).
template <typename S>
bool tcp_worker_pass(sw_tcp<S>& tcp, const tcp_worker_clock& now) {
  const int state = tcp.state;
  if (state == TCP_LISTEN) return false;  // the passive open owns the engine until its SYN-ACK
  const bool acked = tcp_connected(state) && tcp_worker_connected(tcp, now);
  if (!tcp_connected(state)) tcp_worker_scan(tcp);
  tcp.take_card_ack();
  tcp.resend_check(now.mono);
  return acked;
}

// The thread body: returns once release has cleared `running`, without a pass after it.
template <typename S>
void tcp_worker_loop(sw_tcp<S>& tcp) {
  bool acking = false;
  while (tcp.running.load()) {
    const int state = tcp.state;
    std::this_thread::sleep_for(std::chrono::microseconds(tcp_worker_sleep_us(state, acking)));
    if (!tcp.running.load()) return;
    acking = tcp_worker_pass(tcp, tcp_worker_clock_now());
  }
}

// Starts the worker once per handle, after the first SYN or SYN-ACK has been sent:
// started earlier, its resend check could meet SYN_RECV before the SYN-ACK's time is
// stamped and resend it from under the passive open. The engine's release stops it.
template <typename S>
void tcp_worker_start(sw_tcp<S>& tcp) {
  if (tcp.worker.joinable()) return;
  tcp.running.exchange(1);
  const kvel::signals_held quiet;
  tcp_status_start(tcp);
  tcp.worker = std::thread([&tcp] { tcp_worker_loop(tcp); });
}

}  // namespace vyxtcp
