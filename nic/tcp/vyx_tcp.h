// The TCP engine: the software state machine over a hardware TCP session.
//
// The card moves the data; the engine runs both handshakes with their options and
// initial sequence numbers, the closing handshakes, resets, and the switching of the
// card's per-connection features. Session is the hardware session (tcp_hw_session;
// unit tests use a fake) and must offer: dev_fd_, reg_, control_, rx_bytes_, local_ip_, txack_,
// tx_pio_ (write, tx_pio_mem_, fdb_), send_control_segment, enable_rst_on_release and
// disable_rst_on_release.
//
// Three threads touch an engine: the application's (the API and data calls, one at a
// time), the connection's worker, and with VYX_DEBUG the status thread, which only
// reads, under fsm_lock. During the handshake the worker drives the engine under
// fsm_lock; the store of TCP_ESTABLISHED into `state` hands the data path's fields to
// the application's thread, which reads `state` before it touches them. Every field
// that two threads touch says at its declaration who writes it and how the others
// read it.
#pragma once
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "diag.h"
#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "netinfo.h"
#include "rx_dma_ring.h"
#include "tcp_isn.h"
#include "tcp_pkt_if.h"
#include "tcp_segment.h"
#include "tcp_seq.h"
#include "tcp_shared.h"
#include "tx_timestamp_log.h"
#include "vyx_tcp_state.h"

namespace vyxtcp {

constexpr int TCP_DEFAULT_MSS = 1460;
constexpr int TCP_MAX_RETRIES = 15;
constexpr uint16_t TCP_SYN_WINDOW = 65000;       // window field of SYN and SYN-ACK
constexpr uint32_t TCP_UNSCALED_WINDOW = 65000;  // own window when the peer does not scale
constexpr int TCP_TX_POLLS = 10;
constexpr int TCP_SYN_OPT_MAX = 8;  // MSS, NOP, window scale
constexpr size_t TCP_REG_CONTROL = 0x08;
constexpr uint64_t TCP_ACK_OFFLOAD_ON = 8192;
constexpr size_t TCP_TXACK_BLOCK_BYTES = 64;
constexpr uint32_t TCP_HIGHEST_KEPT_AHEAD = 1000000000;  // rx_highest further ahead is stale

inline timespec tcp_now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

// The resend schedule of the handshake and of our FIN: after n resends the next one is
// due max(1, n * n) whole seconds after the last.
inline bool tcp_resend_due(const timespec& last, int retries, const timespec& now) {
  const int64_t ns = int64_t(now.tv_sec - last.tv_sec) * 1000000000 + (now.tv_nsec - last.tv_nsec);
  const int64_t gap = retries > 1 ? int64_t(retries) * retries : 1;
  return ns / 1000000000 >= gap;
}

template <typename Session>
struct sw_tcp {
  // Legend: "app" is the application's thread, "worker" the connection's worker,
  // "lock" fsm_lock; "relaxed" fields are tcp_relaxed (atomic loads and stores).
  const char* debug = nullptr;  // VYX_DEBUG, read once at acquisition
  std::thread worker;           // app only (start, join)
  std::atomic<uint8_t> running{0};
  // Written under the lock only (the state machine, disconnect, the worker's closes);
  // read by any thread without it. Its store of ESTABLISHED hands the data path over.
  std::atomic<int> state{TCP_CLOSE};
  // The resend schedule: under the lock.
  timespec handshake_time{};  // last SYN, SYN-ACK, FIN, resend decision or answer to a FIN
  int handshake_retries = 0;
  int handshake_max_retries = TCP_MAX_RETRIES;
  Session* hw = nullptr;
  kvel::if_info* itf = nullptr;  // owned
  kvel::route_tables routes{};
  int local_mss = TCP_DEFAULT_MSS;
  // The template of every control segment (SYN, SYN-ACK, ACK, FIN+ACK, RST): written at
  // set-up and during the handshake, read and written under the lock. Each send fills in
  // a copy of its own (ctrl_copy), so no thread sends from another's descriptor.
  tcp_tx_desc ctrl_desc{};
  // Receive side.
  // Next byte expected in order; relaxed. The app advances it as it consumes; the state
  // machine (lock) sets it in the handshake and past the peer's FIN once consumption
  // has reached the FIN, when the app has nothing left to consume. Read by the worker.
  tcp_relaxed<tcp_seq> rx_seq;
  tcp_relaxed<int> rx_rdptr{-1};  // app writes as it frees slots; the worker's scans read
  int recv_processed = 0;         // status only, never written
  int release_count = 0;          // app only
  // Highest acknowledgement seen from the peer; relaxed, written under the lock (the
  // state machine, the worker's look into the card's block), read by the app's quota.
  tcp_relaxed<tcp_seq> bk_tx_ack;
  tcp_relaxed<tcp_seq> bk_rx_ack;  // acknowledgement last sent by the app; relaxed
  uint32_t peer_window = 0;        // unscaled; lock
  uint32_t peer_wscale = 0;        // at most TCP_MAX_WSCALE; handshake, then read only
  // The peer's SYN carried a window-scale option (its shift may be 0): both directions
  // then scale, each by its own shift (RFC 7323). Handshake, then read only.
  bool peer_scales = false;
  tcp_relaxed<uint32_t> peer_window_scaled;  // lock writes; the app's quota reads
  // The acknowledgement the worker sent last: its idle ACK of in-order data ahead of
  // consumption, or its lagging ACK. Worker writes (and the handshake); app reads.
  tcp_relaxed<tcp_seq> rx_highest;
  // Set by the app when its receive first meets data; from then on the worker, which
  // reads it, leaves control segments to the data path. Relaxed: the state machine is
  // safe on either thread, this only spares the worker its scans.
  tcp_relaxed<uint8_t> rx_data_seen;
  // The last receive returned the segment that filled a gap: its release acknowledges
  // everything in order that waited behind it. App only.
  uint8_t rx_gap_filled = 0;
  // The most the peer may send beyond rx_seq, in bytes: a quarter of the ring, so that
  // retransmissions and segments beyond a gap still find room. Handshake, then read only.
  uint32_t rx_window = 32768;
  uint32_t adv_window = 0;     // largest window field: rx_window >> own_wscale; as rx_window
  // How far beyond rx_seq the peer's stream may reach while the application does not
  // read: what half the ring holds in segments of our MSS. The other half is left to
  // resends, segments beyond a gap, and the consumed slots not yet handed back to the
  // card (up to a quarter of the ring). Handshake, then read only.
  uint32_t rx_ring_room = 0;
  uint32_t own_wscale = 1;     // handshake, then read only
  // App writes at each receive (and 0 as a long send begins); the worker's idle test reads.
  tcp_relaxed<uint64_t> last_rx_tsc;
  // Descriptor of data segments: the app's once established (the handshake fills it).
  // Its TTL byte is the connection's TTL; set_ttl changes it under the lock, where the
  // other threads read it.
  tcp_tx_desc data_desc{};
  // Send side.
  tcp_relaxed<tcp_seq> tx_seq;  // next to send; app writes (handshake: lock); relaxed
  tcp_relaxed<uint32_t> tx_window;  // the app's quota writes (handshake: lock); status reads
  // Written in the handshake; relaxed, as a long send reads it while the handshake runs.
  tcp_relaxed<int> tx_mss{TCP_DEFAULT_MSS};
  tcp_relaxed<int> tx_available_quota;  // app writes; status reads
  kvel::tx_timestamp_log tx_log{};      // app only
  // Where consumption stands for the peer; app writes, and the state machine with
  // rx_seq (above). Relaxed.
  tcp_relaxed<tcp_seq> rx_to_be_ackd;
  tcp_seq peer_ack;  // lock
  tcp_relaxed<tcp_seq> rx_ack;  // acknowledgement last sent by the app; relaxed
  // Status only.
  int processed_rx = 0;
  int bk_rx_rdptr = -1;
  int self = 0;
  int bk_rx_recv_processed = 0;
  std::thread status_thread;  // with VYX_DEBUG; app only (start, join)
  int pending_len = 0;        // length the receive call returned last; app only
  // The peer's FIN that came before the data in front of it was consumed; it takes
  // effect when consumption reaches it (consume_rx), so no data is lost behind it.
  // Written under the lock; the app looks at peer_fin_pending without it first.
  tcp_relaxed<uint8_t> peer_fin_pending;
  tcp_seq peer_fin_seq;
  // A RST from the peer ended the connection, which a connection closed in order never
  // shows. Written under the lock by the thread that meets the RST (cleared by a
  // passive open that failed, before the engine serves another); the status calls of
  // the app read it.
  tcp_relaxed<uint8_t> peer_reset;
  // Serialises the state machine, every change of `state`, the control descriptor and
  // the resend schedule across the threads. The data path takes it only on rare events
  // (a FIN or RST, the first data, a repeated SYN-ACK).
  std::mutex fsm_lock;

  explicit sw_tcp(Session* session) : debug(getenv("VYX_DEBUG")), hw(session) {
    routes.refresh(nullptr);
  }

  // The TTL of every segment, and of the driver's reset when the session is released.
  void set_ttl(uint8_t ttl) {
    {
      const std::lock_guard<std::mutex> hold(fsm_lock);
      data_desc.ttl = ttl;
    }
    apply_release_ttl(__func__, __LINE__);
  }

  // Stops and joins the threads before anything they use goes away.
  void release() {
    running.exchange(0);
    if (worker.joinable()) worker.join();
    if (status_thread.joinable()) status_thread.join();
    tx_log.release();
    delete itf;
    itf = nullptr;
  }

  // ---- State changes (the caller holds fsm_lock once the worker runs) -------------

  void trace(int next) const {
    if (debug) printf("TCP: %s --> %s\n", tcp_state_name(state), tcp_state_name(next));
  }
  void set_state(int next) {
    trace(next);
    state = next;
  }
  // CLOSE, TIME_WAIT and CLOSING: the driver's reset on release is no longer wanted.
  void enter_final(int next) {
    trace(next);
    if (!tcp_final_state(state)) hw->disable_rst_on_release();
    state = next;
  }
  void close() { enter_final(TCP_CLOSE); }
  void close_by_reset() {
    peer_reset = 1;
    close();
  }

  void enter_established() {
    trace(TCP_ESTABLISHED);
    if (state != TCP_ESTABLISHED) enable_established_accelerators();
    state = TCP_ESTABLISHED;
  }

  // The application closes: our FIN while our side is open (ESTABLISHED, or CLOSE_WAIT
  // after the peer's FIN), otherwise a plain close. Under the state machine's lock: a
  // peer's FIN that the worker takes at the same moment must not be overwritten by
  // FIN_WAIT1, or the connection would wait for a FIN already acknowledged.
  void disconnect() {
    const std::lock_guard<std::mutex> hold(fsm_lock);
    if (!tcp_send_open(state)) return close();
    send_fin();
    set_state(state == TCP_CLOSE_WAIT ? TCP_LAST_ACK : TCP_FIN_WAIT1);
  }

  // The peer's FIN once everything before it is consumed. Established, the connection
  // is half closed: the peer still reads what we send until our own FIN.
  void accept_peer_fin() {
    peer_fin_pending = 0;
    rx_seq = rx_to_be_ackd = peer_fin_seq + 1;
    send_ack();
    if (state == TCP_ESTABLISHED) {
      handshake_time = tcp_now();  // a repeated FIN is answered at most once a second
      return set_state(TCP_CLOSE_WAIT);
    }
    if (state == TCP_FIN_WAIT1 && !our_fin_acked()) return enter_final(TCP_CLOSING);
    enter_final(TCP_TIME_WAIT);
  }

  // The peer never acknowledged our FIN: a RST tells it the connection is gone.
  void reset_and_close() {
    send_ctrl(TCP_RST, tx_seq);
    close();
  }

  // ---- Control segments (the caller holds fsm_lock once the worker runs) -----------

  // One control segment's descriptor: a copy of the template on the sender's stack.
  tcp_tx_desc ctrl_copy(uint8_t flags, tcp_seq seq, tcp_seq ack) const {
    tcp_tx_desc d = ctrl_desc;
    d.tcp_flags = flags;
    d.ttl = data_desc.ttl;
    d.ack = ack.v;
    d.seq = seq.v;
    if (flags & TCP_ACK) d.window = offered_window(ack);
    return d;
  }
  // One segment without options by the packet socket, acknowledging rx_seq; true when
  // it left. What the state machine sends is not recorded as the application's last
  // acknowledgement: the state machine may run on the worker.
  bool send_ctrl(uint8_t flags, tcp_seq seq) {
    tcp_tx_desc d = ctrl_copy(flags, seq, rx_seq);
    return hw->send_control_segment(nullptr, 0, &d) >= 0;
  }
  bool send_ack() { return send_ctrl(TCP_ACK, tx_seq); }
  // The active opener's last handshake ACK goes through the TX window.
  bool send_ack_by_tx_window() {
    tcp_tx_desc d = ctrl_copy(TCP_ACK, tx_seq, rx_seq);
    d.length = 0;
    if (hw->tx_pio_.write(nullptr, 0, &d, TCP_TX_POLLS) != 0) return false;
    rx_ack = bk_rx_ack = rx_seq;
    return true;
  }
  // The peer repeats its SYN-ACK when our ACK was lost: the application's thread
  // answers one it meets in the ring.
  void reack_syn() {
    const tcp_seq seq = rx_seq;
    bool sent;
    {
      const std::lock_guard<std::mutex> hold(fsm_lock);
      sent = send_ack();
    }
    if (sent) rx_ack = bk_rx_ack = seq;
  }
  // Our FIN+ACK. It takes its sequence number whether or not it left, so that every
  // resend carries the same one and the peer's ACK of it is recognised.
  void send_fin() {
    send_ctrl(TCP_FIN | TCP_ACK, tx_seq);
    tx_seq = tx_seq + 1;
    handshake_retries = 0;
    handshake_time = tcp_now();
  }
  void resend_fin() { send_ctrl(TCP_FIN | TCP_ACK, tx_seq - 1); }
  bool our_fin_acked() const { return bk_tx_ack == tx_seq; }

  // ---- Handshake senders ---------------------------------------------------------

  // The initial sequence number: fresh from first_state (tcp_choose_isn), the previous
  // one on a resend (resend_state), else tx_seq. -1 without random bytes for the key,
  // nothing changed.
  int take_isn(int first_state, int resend_state, tcp_seq* isn) {
    if (state == first_state) {
      uint32_t fresh = 0;
      const tcp_four_tuple tuple{hw->local_ip_, ctrl_desc.remote_ip, ctrl_desc.local_port,
                                 ctrl_desc.remote_port};
      if (tcp_choose_isn(tuple, &fresh) != 0) return -1;
      handshake_retries = 0;
      tx_seq = bk_tx_ack = peer_ack = tcp_seq(fresh);
    } else if (state == resend_state) {
      tx_seq = tx_seq - 1;
    }
    *isn = tx_seq;
    return 0;
  }

  // MSS, and with `scale` our window-scale shift: the ring's quarter halved until it
  // fits 16 bits. Sets own_wscale, rx_window, adv_window; returns the option bytes.
  int build_syn_options(uint8_t* out, bool scale) {
    const uint32_t slot_bytes = uint32_t(hw->rx_dma_.slot_lines(local_mss + TCP_BASE_HDR_BYTES)) *
                                kvel::RX_LINE_BYTES;
    rx_ring_room = uint32_t(uint64_t(hw->rx_bytes_) / 2 / slot_bytes * uint32_t(local_mss));
    out[0] = TCP_OPT_MSS;
    out[1] = 4;
    out[2] = uint8_t(local_mss >> 8);
    out[3] = uint8_t(local_mss);
    own_wscale = 0;
    rx_window = adv_window = TCP_UNSCALED_WINDOW;
    if (!scale) return 4;
    rx_window = adv_window = uint32_t(hw->rx_bytes_) / 4;
    while (adv_window > TCP_UNSCALED_WINDOW) {
      adv_window /= 2;
      own_wscale += 1;
    }
    if (own_wscale == 0) return 4;
    out[4] = TCP_OPT_NOP;
    out[5] = TCP_OPT_WSCALE;
    out[6] = 3;
    out[7] = uint8_t(own_wscale);
    return 8;
  }

  // SYN or SYN-ACK with n option bytes through the TX window, then tx_seq past it.
  int write_syn(tcp_seq isn, const uint8_t* opt, int n) {
    tx_seq = isn + 1;
    handshake_time = tcp_now();
    tcp_tx_desc d = ctrl_desc;
    d.length = uint16_t(n);
    d.slot_hdr = uint8_t(d.slot_hdr + n / 4);
    return hw->tx_pio_.write(opt, n, &d, TCP_TX_POLLS) == 0 ? 0 : -101;
  }

  // 0, -1 (no random bytes) or -101 (not written; the worker's resends go on).
  int send_syn() {
    tcp_seq isn;
    if (take_isn(TCP_CLOSE, TCP_SYN_SENT, &isn) != 0) return -1;
    ctrl_desc.tcp_flags = TCP_SYN;
    ctrl_desc.seq = isn.v;
    ctrl_desc.ack = 0;
    ctrl_desc.window = TCP_SYN_WINDOW;
    set_state(TCP_SYN_SENT);
    uint8_t opt[TCP_SYN_OPT_MAX];
    const int rc = write_syn(isn, opt, build_syn_options(opt, true));
    if (rc == 0) data_desc = ctrl_desc;
    return rc;
  }

  // As send_syn; data_desc is filled when the peer's ACK arrives (process_ack).
  int send_syn_ack() {
    tcp_seq isn;
    if (take_isn(TCP_LISTEN, TCP_SYN_RECV, &isn) != 0) return -1;
    ctrl_desc.tcp_flags = TCP_SYN | TCP_ACK;
    ctrl_desc.seq = isn.v;
    ctrl_desc.ack = rx_seq.load().v;
    ctrl_desc.window = TCP_SYN_WINDOW;
    rx_to_be_ackd = rx_ack = rx_seq;
    set_state(TCP_SYN_RECV);
    uint8_t opt[TCP_SYN_OPT_MAX];
    return write_syn(isn, opt, build_syn_options(opt, peer_scales));
  }

  // The worker's resend check for the handshake and for our unacknowledged FIN; the
  // last decision of the schedule closes (after a RST when our FIN was out).
  void resend_check(const timespec& now) {
    const std::lock_guard<std::mutex> hold(fsm_lock);
    const bool handshake = state == TCP_SYN_SENT || state == TCP_SYN_RECV;
    if (!handshake && !tcp_fin_unacked(state)) return;
    if (!tcp_resend_due(handshake_time, handshake_retries, now)) return;
    handshake_retries += 1;
    if (handshake_retries >= handshake_max_retries) return handshake ? close() : reset_and_close();
    if (state == TCP_SYN_SENT) send_syn();
    else if (state == TCP_SYN_RECV) send_syn_ack();
    else resend_fin();
    // After the send, which stamps its own time: the schedule follows the caller's clock.
    handshake_time = now;
  }

  // ---- Card features -------------------------------------------------------------

  void apply_release_ttl(const char* func, int line) {
    if (hw->dev_fd_ < 0) return;
    uint8_t ttl = data_desc.ttl;
    if (kvel::kvel_dev_ioctl(hw->dev_fd_, kvel::KVEL_TCP_TTL_RST_ON_RELEASE, &ttl) < 0)
      kvel::diag_print("tcp/vyx_tcp", func, line, "KVEL_TCP_TTL_RST_ON_RELEASE error: %s\n\n",
                       strerror(errno));
  }

  bool switch_on_ack_offload() {
    const char* missing = hw->reg_ == nullptr ? "reg_"
                          : hw->tx_pio_.tx_pio_mem_ == nullptr || hw->tx_pio_.fdb_ == nullptr
                              ? "tx_pio_mem_"
                              : nullptr;
    if (missing) {
      printf(KVEL_RED "internal error, ununitialized %s\n\n", missing);
      puts(KVEL_RED "TX ack processing offload enable failed\n");
      return false;
    }
    kvel::mmio_write64(hw->reg_, TCP_REG_ACK_OFFLOAD, TCP_ACK_OFFLOAD_ON);
    auto* block = reinterpret_cast<volatile uint8_t*>(hw->tx_pio_.fdb_) + TCP_TXACK_OFFSET;
    hw->txack_ = reinterpret_cast<volatile txack*>(block);
    for (size_t i = 0; i < TCP_TXACK_BLOCK_BYTES; ++i) block[i] = 0;
    hw->control_ |= TCP_CTRL_ACK_OFFLOAD;
    kvel::mmio_write64(hw->reg_, TCP_REG_CONTROL, hw->control_);
    return true;
  }

  // Acknowledgement offload seeded with what the handshake learnt, reset on release on.
  void enable_established_accelerators() {
    if (switch_on_ack_offload()) {
      hw->txack_->ack = peer_ack.v;
      hw->txack_->win = uint16_t(peer_window_scaled >> peer_wscale);
    }
    hw->enable_rst_on_release();
    apply_release_ttl(__func__, __LINE__);
  }

  // ---- Receive -------------------------------------------------------------------

  // The furthest acknowledgement sent: rx_to_be_ackd (where consumption stands), or
  // beyond it where in-order data not yet consumed has been acknowledged (by the
  // worker's idle ACK, or by the application after a filled gap). A value further ahead
  // of rx_seq than any acknowledgement can reach is stale, left from long ago.
  tcp_seq ack_point() const {
    const tcp_seq seq = rx_seq;
    tcp_seq p = rx_to_be_ackd;
    for (const tcp_seq a : {rx_highest.load(), bk_rx_ack.load()}) {
      const uint32_t ahead = a - seq;
      if (ahead >= 1 && ahead <= TCP_HIGHEST_KEPT_AHEAD && a > p) p = a;
    }
    return p;
  }
  bool acked_ahead() const { return ack_point() != rx_seq; }

  // The application has consumed n more bytes in order; a FIN waiting behind them now
  // takes effect. Data past a waiting FIN means the FIN was not the peer's last word.
  // Once consumption has reached the FIN the state machine, on whichever thread meets
  // the FIN, moves rx_seq past it: this thread has nothing left to consume then.
  void consume_rx(uint32_t n) {
    if (n == 0) return;
    const tcp_seq seq = rx_seq.load() + n;
    rx_to_be_ackd = seq;
    rx_seq = seq;
    if (!peer_fin_pending) return;
    const std::lock_guard<std::mutex> hold(fsm_lock);
    if (!peer_fin_pending || peer_fin_seq > seq) return;
    if (peer_fin_seq == seq) return accept_peer_fin();
    peer_fin_pending = 0;
  }

  // Runs the state machine on one received segment: len bytes of TCP header and
  // payload at header. Malformed segments are ignored.
  // Both threads may meet the same FIN or RST in the ring: one at a time, so that the
  // second sees the state the first left and does not answer again.
  void tcp_process_fsm_rx(const void* header, int len) {
    tcp_segment s;
    if (len < 0 || !tcp_parse_segment(header, size_t(len), &s)) return;
    const std::lock_guard<std::mutex> hold(fsm_lock);
    process_segment(s);
  }

  void process_segment(const tcp_segment& s) {
    switch (state) {
      case TCP_SYN_SENT: return on_syn_sent(s);
      case TCP_SYN_RECV: return on_syn_recv(s);
      case TCP_ESTABLISHED:
      case TCP_FIN_WAIT1:
      case TCP_FIN_WAIT2: return on_receiving(s);
      case TCP_CLOSE_WAIT:
      case TCP_LAST_ACK:
      case TCP_CLOSING:
      case TCP_TIME_WAIT: return on_peer_closed(s);
      default: return;
    }
  }

  // The SYN's sequence number, window and options (also for the passive open).
  void process_syn_options(const tcp_segment& s) {
    // Every acknowledgement field starts at the peer's first byte: one left from before
    // could read as an acknowledgement ahead of it (ack_point).
    rx_seq = rx_to_be_ackd = rx_highest = rx_ack = bk_rx_ack = s.seq + 1;
    peer_window = peer_window_scaled = tx_window = s.window;
    if (s.opt.mss != 0) tx_mss = s.opt.mss;
    // A shift of 0 still means the peer scales ours by the shift our SYN announced.
    peer_scales = s.opt.has_wscale;
    peer_wscale = peer_scales ? s.opt.wscale : 0;
    if (peer_scales) return;
    rx_window = TCP_UNSCALED_WINDOW;
    own_wscale = 0;
  }

  void process_ack(const tcp_segment& s) {
    if (s.ack > bk_tx_ack) bk_tx_ack = peer_ack = s.ack;
    if (state == TCP_SYN_RECV) {
      if (own_wscale == 0) rx_window = TCP_UNSCALED_WINDOW;
      adv_window = rx_window >> own_wscale;
      ctrl_desc.window = uint16_t(adv_window);
      data_desc = ctrl_desc;
    } else if (s.window == peer_window) {
      return;
    }
    peer_window = s.window;
    peer_window_scaled = peer_window << peer_wscale;
    // Once established the send path keeps tx_window, from the card's block.
    if (state == TCP_SYN_SENT || state == TCP_SYN_RECV) tx_window = peer_window_scaled;
  }
  // An ACK of something never sent is dropped with its segment.
  bool take_ack(const tcp_segment& s) {
    if (s.ack > tx_seq) return false;
    process_ack(s);
    return true;
  }
  // A RST counts only within the window we offer, so a blind one rarely hits. The
  // window starts where the peer sees our receive point (the furthest acknowledgement
  // sent) and ends at the right edge offered there, the furthest we offered, which a
  // peer that filled our window has reached with its next sequence number.
  bool rst_in_window(const tcp_segment& s) const {
    const tcp_seq from = ack_point();
    return tcp_seq::in_window(s.seq, from, window_room(from - rx_seq.load()) + 1);
  }

  // The window field offered with an acknowledgement of `ack`: rx_window, or what the
  // ring still holds of the peer's stream beyond it where that is less, so that the
  // right edge never lies beyond the ring however far ahead of the application the
  // acknowledgement goes. Rounded down to our scale.
  uint16_t offered_window(tcp_seq ack) const {
    return uint16_t(std::min(window_room(ack - rx_seq.load()) >> own_wscale, adv_window));
  }
  // The bytes the peer may send beyond an acknowledgement `ahead` bytes beyond rx_seq.
  uint32_t window_room(uint32_t ahead) const {
    const uint32_t ring_left = ahead < rx_ring_room ? rx_ring_room - ahead : 0;
    return std::min(rx_window, ring_left);
  }

  // RFC 9293 3.10.7.3: an acknowledgement of anything but our SYN is unacceptable. A
  // peer that still holds an old connection on this 4-tuple (TIME_WAIT, or one it
  // thinks open) answers our SYN with such an ACK; our reset at its acknowledgement
  // number ends that connection, and the SYN sent again at once opens the new one.
  void on_syn_sent(const tcp_segment& s) {
    if (s.has(TCP_ACK) && s.ack != tx_seq) {
      if (!s.has(TCP_RST)) refuse_stale_ack(s);
      return;
    }
    if (s.has(TCP_RST)) {
      if (s.has(TCP_ACK)) close_by_reset();
      return;
    }
    if (!s.has(TCP_SYN)) return;
    if (!s.has(TCP_ACK)) {
      KVEL_DIAG("tcp/vyx_tcp",
                "You hit the jackpot and did a syn/syn TCP connect, how did you do that?\n\n");
      return;
    }
    process_ack(s);
    process_syn_options(s);
    adv_window = rx_window >> own_wscale;
    ctrl_desc.window = uint16_t(adv_window);
    data_desc = ctrl_desc;
    send_ack_by_tx_window();
    enter_established();
  }

  void refuse_stale_ack(const tcp_segment& s) {
    tcp_tx_desc d = ctrl_copy(TCP_RST, s.ack, tcp_seq(0));
    hw->send_control_segment(nullptr, 0, &d);
    send_syn();
  }

  void on_syn_recv(const tcp_segment& s) {
    if (s.has(TCP_RST)) {
      if (rst_in_window(s)) close_by_reset();
      return;
    }
    if (s.has(TCP_SYN) || !s.has(TCP_ACK) || s.ack != tx_seq) return;
    process_ack(s);
    enter_established();
    if (s.has(TCP_FIN)) note_peer_fin(s);
  }

  // ESTABLISHED, FIN_WAIT1, FIN_WAIT2: the peer may still send.
  void on_receiving(const tcp_segment& s) {
    if (s.has(TCP_RST)) {
      if (rst_in_window(s)) close_by_reset();
      return;
    }
    if (s.has(TCP_SYN)) return;  // a repeated SYN-ACK: the ring scans acknowledge it
    if (s.has(TCP_ACK) && !take_ack(s)) return;
    if (s.has(TCP_FIN)) note_peer_fin(s);
    if (state == TCP_FIN_WAIT1 && our_fin_acked()) on_fin_acked();
  }

  // A FIN takes effect at once when nothing before it waits, else when consumption
  // reaches it; its segment's payload stays for the receive path either way.
  void note_peer_fin(const tcp_segment& s) {
    const tcp_seq fin = s.fin_seq();
    if (fin < rx_seq) return;
    peer_fin_pending = 1;
    peer_fin_seq = fin;
    if (fin == rx_seq) accept_peer_fin();
  }

  // CLOSE_WAIT, LAST_ACK, CLOSING, TIME_WAIT: the peer's FIN is taken; ours may be out
  // and wait for its ACK.
  void on_peer_closed(const tcp_segment& s) {
    if (s.has(TCP_RST)) {
      if (!tcp_final_state(state) && rst_in_window(s)) close_by_reset();
      return;
    }
    if (s.has(TCP_ACK) && !take_ack(s)) return;
    if (tcp_fin_unacked(state) && our_fin_acked()) return on_fin_acked();
    // The peer repeats its FIN when our answer was lost. A ring scan can hand the same
    // segment over again, so the answer goes at most once a second.
    if (s.has(TCP_FIN) && s.fin_seq() + 1 == rx_seq && repeat_answer_due()) {
      if (state == TCP_LAST_ACK) resend_fin();
      else send_ack();
    }
  }
  // Where each state with our FIN out goes once the peer has acknowledged it.
  void on_fin_acked() {
    if (state == TCP_LAST_ACK) return close();
    if (state == TCP_CLOSING) return enter_final(TCP_TIME_WAIT);
    if (state == TCP_FIN_WAIT1) set_state(TCP_FIN_WAIT2);
  }

  // With the acknowledgement offload on, the peer's pure ACKs lie within the card's
  // snd_nxt: the card keeps them in its acknowledgement block and they never reach the
  // ring. The worker takes them from there on every pass: the engine's view stays
  // current (after 2 GB sent a stale one would make our FIN's ACK read as old), and
  // the peer's ACK of our FIN moves the closing states on.
  void take_card_ack() {
    const volatile txack* block = hw->txack_;
    if (block == nullptr) return;
    const std::lock_guard<std::mutex> hold(fsm_lock);
    const tcp_seq ack(block->ack);
    if (ack > tx_seq || ack <= bk_tx_ack) return;
    bk_tx_ack = peer_ack = ack;
    if (tcp_fin_unacked(state) && our_fin_acked()) on_fin_acked();
  }

  bool repeat_answer_due() {
    const timespec now = tcp_now();
    if (!tcp_resend_due(handshake_time, 0, now)) return false;
    handshake_time = now;
    return true;
  }
};

}  // namespace vyxtcp
