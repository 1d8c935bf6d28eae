// The connection's worker: handshake scans of the receive ring, the resend schedule,
// idle and lagging acknowledgements, the card's reset request and the thread's stop.
// Passes are driven with a test clock; only the thread test runs the real loop.
#include "tcp/vyx_tcp_worker.h"
#include "tcp/vyx_tcp_data.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "fake_tcp_ring.h"
#include "tcp_engine_fixture.h"

namespace {

using namespace vyxtcp;
using namespace vyxtcp_test;

constexpr uint64_t TEST_TSC_HZ = 1000000000;  // one tick per nanosecond
constexpr uint64_t NS_PER_MS = 1000000;

// The engine over the fake session with a ring in memory, and the worker's clock.
struct tcp_worker : engine_fixture {
  fake_tcp_ring ring;
  tcp_worker_clock clock{};

  void SetUp() override {
    engine_fixture::SetUp();
    ring.attach(hw.rx_dma_);
    clock = {tcp_now(), 1000 * TEST_TSC_HZ, TEST_TSC_HZ};
  }

  bool pass() { return tcp_worker_pass(tcp, clock); }
  void advance_ms(uint64_t ms) { clock.tsc += ms * NS_PER_MS; }
  void at_second(const timespec& start, int s) {
    clock.mono = start;
    clock.mono.tv_sec += s;
  }

  // A segment from the peer placed in the ring, numbered relative to rx_seq and tx_seq.
  int place(const peer_segment& p, bool flagged) {
    return ring.place(tcp_bytes(tcp.rx_seq.load().v + uint32_t(p.seq_off),
                                tcp.tx_seq.load().v + uint32_t(p.ack_off), p.flags, p.window,
                                p.options, p.payload),
                      flagged);
  }
  int place_syn_ack(bool flagged) {
    return ring.place(
        tcp_bytes(PEER_ISN, tcp.tx_seq.load().v, TCP_SYN | TCP_ACK, PEER_WINDOW, mss_wscale(1460, 7), 0),
        flagged);
  }
  // Active open completed by the worker finding the SYN-ACK in the ring.
  void establish() {
    ASSERT_EQ(tcp.send_syn(), 0);
    place_syn_ack(true);
    pass();
    ASSERT_EQ(tcp.state, TCP_ESTABLISHED);
  }
  // Established, with an application that met its first data and read just now; the
  // next sequence number expected.
  uint32_t establish_reading() {
    establish();
    tcp.rx_data_seen = 1;
    tcp.last_rx_tsc = clock.tsc;
    return tcp.rx_seq.load().v;
  }
};

TEST(tcp_worker_pacing, short_sleeps_only_while_the_handshake_waits_or_data_is_acknowledged) {
  const struct {
    int state;
    bool acking;
    int us;
  } cases[] = {{TCP_SYN_SENT, false, 100},   {TCP_SYN_RECV, false, 100},
               {TCP_ESTABLISHED, false, 5000}, {TCP_ESTABLISHED, true, 100},
               {TCP_FIN_WAIT1, false, 5000}, {TCP_FIN_WAIT2, true, 100},
               {TCP_LAST_ACK, false, 5000},  {TCP_CLOSE, false, 5000},
               {TCP_TIME_WAIT, false, 5000}};
  for (const auto& c : cases)
    EXPECT_EQ(tcp_worker_sleep_us(c.state, c.acking), c.us) << c.state << " " << c.acking;
}

TEST_F(tcp_worker, syn_sent_flagged_syn_ack_in_ring_establishes) {
  ASSERT_EQ(tcp.send_syn(), 0);
  const int line = place_syn_ack(true);
  pass();
  EXPECT_EQ(tcp.state, TCP_ESTABLISHED);
  EXPECT_FALSE(ring.flagged(line));
  ASSERT_EQ(hw.tx_pio_.writes.size(), 2u);  // the SYN, then our ACK by the TX window
  EXPECT_EQ(hw.tx_pio_.writes.back().desc.tcp_flags, TCP_ACK);
  EXPECT_EQ(hw.tx_pio_.writes.back().desc.ack, PEER_ISN + 1);
}

TEST_F(tcp_worker, syn_sent_unflagged_segment_passed_over) {
  ASSERT_EQ(tcp.send_syn(), 0);
  place_syn_ack(false);
  pass();
  EXPECT_EQ(tcp.state, TCP_SYN_SENT);
}

TEST_F(tcp_worker, syn_recv_peer_ack_in_ring_establishes) {
  passive_open();
  const int line = place({TCP_ACK}, true);
  pass();
  EXPECT_EQ(tcp.state, TCP_ESTABLISHED);
  EXPECT_FALSE(ring.flagged(line));
}

// Until its SYN-ACK is out, the passive open alone drives the engine.
TEST_F(tcp_worker, listen_pass_touches_nothing) {
  tcp.set_state(TCP_LISTEN);
  const int line = place({TCP_ACK}, true);
  pass();
  EXPECT_EQ(tcp.state, TCP_LISTEN);
  EXPECT_TRUE(ring.flagged(line));
  EXPECT_TRUE(hw.tx_pio_.writes.empty());
}

TEST_F(tcp_worker, established_repeated_syn_ack_answered_once_per_segment) {
  establish();
  for (int repeat = 1; repeat <= 2; ++repeat) {
    const int line = place_syn_ack(true);
    pass();
    pass();
    ASSERT_EQ(hw.control.size(), size_t(repeat));
    EXPECT_EQ(last_control().desc.tcp_flags, TCP_ACK);
    EXPECT_EQ(last_control().desc.ack, tcp.rx_seq.load().v);
    EXPECT_EQ(last_control().desc.seq, tcp.tx_seq.load().v);
    EXPECT_FALSE(ring.flagged(line));
  }
}

// The peer's data and then its reset, both in the ring before the application's first
// receive: the worker leaves the reset behind the unread data, which the receive path
// delivers before it meets the reset.
TEST_F(tcp_worker, established_before_data_reset_behind_unread_data_waits_for_the_reader) {
  establish();
  place({TCP_ACK, 0, 0, PEER_WINDOW, 100}, false);
  place({TCP_RST | TCP_ACK, 100, 0, PEER_WINDOW, 0}, true);
  pass();
  EXPECT_EQ(tcp.state, TCP_ESTABLISHED);
  const void* data = nullptr;
  ASSERT_EQ(tcp_zc_receive(tcp, &data, nullptr, 0), 100);
  tcp_zc_receive_done(tcp);
  EXPECT_EQ(tcp_zc_receive(tcp, &data, nullptr, 0), -ENOTCONN);
  EXPECT_EQ(tcp.state, TCP_CLOSE);
  EXPECT_EQ(tcp.peer_reset.load(), 1);
}

// A data segment is handed to the state machine once, not on every pass.
TEST_F(tcp_worker, established_before_data_flagged_fin_handled_once) {
  establish();
  const int line = place({TCP_FIN | TCP_ACK, 0, 0, PEER_WINDOW, 10}, true);
  pass();
  EXPECT_FALSE(ring.flagged(line));
  EXPECT_EQ(tcp.state, TCP_ESTABLISHED);  // the FIN waits behind the 10 bytes
  tcp.consume_rx(10);
  EXPECT_EQ(tcp.state, TCP_CLOSE_WAIT);
  const size_t sent = hw.control.size();
  at_second(clock.mono, 0);
  pass();
  EXPECT_EQ(hw.control.size(), sent);
}

// The schedule of the handshake: gaps max(1, n * n) s, then close 1016 s after the
// first SYN or SYN-ACK, the same initial sequence number on every resend.
TEST_F(tcp_worker, handshake_resend_schedule) {
  const int expected[] = {1, 2, 6, 15, 31, 56, 92, 141, 205, 286, 386, 507, 651, 820};
  for (int opener : {TCP_SYN_SENT, TCP_SYN_RECV}) {
    SCOPED_TRACE(opener);
    hw.tx_pio_.writes.clear();
    tcp.set_state(TCP_CLOSE);
    if (opener == TCP_SYN_SENT) ASSERT_EQ(tcp.send_syn(), 0);
    else passive_open();
    const uint32_t isn = hw.tx_pio_.writes[0].desc.seq;
    const timespec start = clock.mono;
    tcp.handshake_time = start;
    std::vector<int> resent;
    int closed_at = -1;
    for (int s = 1; s <= 1100 && closed_at < 0; ++s) {
      at_second(start, s);
      const size_t before = hw.tx_pio_.writes.size();
      pass();
      if (hw.tx_pio_.writes.size() > before) {
        resent.push_back(s);
        EXPECT_EQ(hw.tx_pio_.writes.back().desc.seq, isn);
      }
      if (tcp.state == TCP_CLOSE) closed_at = s;
    }
    EXPECT_EQ(resent, std::vector<int>(std::begin(expected), std::end(expected)));
    EXPECT_EQ(closed_at, 1016);
    clock.mono = start;
  }
}

// The resend check also runs in the closing states: our lost FIN goes out again.
TEST_F(tcp_worker, last_ack_fin_resent_by_pass) {
  establish();
  place({TCP_FIN | TCP_ACK}, true);
  pass();
  ASSERT_EQ(tcp.state, TCP_CLOSE_WAIT);
  tcp.disconnect();
  ASSERT_EQ(tcp.state, TCP_LAST_ACK);
  const size_t sent = hw.control.size();
  tcp.handshake_time = clock.mono;
  at_second(tcp.handshake_time, 1);
  pass();
  ASSERT_EQ(hw.control.size(), sent + 1);
  EXPECT_EQ(last_control().desc.tcp_flags, TCP_FIN | TCP_ACK);
}

// With the acknowledgement offload on, the peer's ACK of our FIN reaches only the
// card's block: the worker's pass takes it from there, and nothing else.
struct card_fin_ack_case {
  bool peer_closed_first;  // LAST_ACK, else FIN_WAIT1 after our disconnect
  int32_t ack_off;         // the block's acknowledgement, relative to tx_seq after our FIN
  int want;
};
struct tcp_worker_card_fin_ack : tcp_worker, testing::WithParamInterface<card_fin_ack_case> {};

TEST_P(tcp_worker_card_fin_ack, closing_state_follows_the_block) {
  const card_fin_ack_case& c = GetParam();
  establish();
  ASSERT_NE(hw.txack_, nullptr);
  if (c.peer_closed_first) {
    place({TCP_FIN | TCP_ACK}, true);
    pass();
    ASSERT_EQ(tcp.state, TCP_CLOSE_WAIT);
    tcp.disconnect();
    ASSERT_EQ(tcp.state, TCP_LAST_ACK);
  } else {
    tcp.disconnect();
    ASSERT_EQ(tcp.state, TCP_FIN_WAIT1);
  }
  hw.txack_->ack = tcp.tx_seq.load().v + uint32_t(c.ack_off);
  pass();
  EXPECT_EQ(tcp.state, c.want);
}

INSTANTIATE_TEST_SUITE_P(cases, tcp_worker_card_fin_ack,
                         testing::Values(card_fin_ack_case{true, 0, TCP_CLOSE},
                                         card_fin_ack_case{false, 0, TCP_FIN_WAIT2},
                                         // only the data before our FIN acknowledged
                                         card_fin_ack_case{true, -1, TCP_LAST_ACK},
                                         // beyond anything sent: ignored
                                         card_fin_ack_case{true, 1, TCP_LAST_ACK}));

// Half closed by the peer, the application no longer receives: the worker handles what
// the peer sends, whether data was seen or not. A repeated FIN gets one ACK, a RST ends
// the connection.
TEST_F(tcp_worker, close_wait_worker_handles_control_segments) {
  establish();
  tcp.rx_data_seen = 1;
  deliver({TCP_FIN | TCP_ACK});  // as the receive path hands it over
  ASSERT_EQ(tcp.state, TCP_CLOSE_WAIT);
  tcp.last_rx_tsc = clock.tsc;
  tcp.handshake_time = {};  // the peer's repeat comes after a second
  const size_t sent = hw.control.size();
  place({TCP_FIN | TCP_ACK, -1}, true);
  pass();
  pass();
  ASSERT_EQ(hw.control.size(), sent + 1);
  EXPECT_EQ(last_control().desc.tcp_flags, TCP_ACK);
  EXPECT_EQ(last_control().desc.ack, tcp.rx_seq.load().v);
  place({TCP_RST}, true);
  pass();
  EXPECT_EQ(tcp.state, TCP_CLOSE);
  EXPECT_FALSE(hw.rst_on_release);
}

// After our FIN the peer's data is still acknowledged by the worker: what the
// application consumed without a doorbell, and what waits in the ring while it does not
// read, so the peer neither stalls nor resends.
TEST_F(tcp_worker, fin_wait2_data_acknowledged_by_the_worker) {
  establish();
  tcp.rx_data_seen = 1;
  tcp.disconnect();
  deliver({TCP_ACK});
  ASSERT_EQ(tcp.state, TCP_FIN_WAIT2);
  const uint32_t base = tcp.rx_seq.load().v;
  tcp.last_rx_tsc = clock.tsc;
  tcp.consume_rx(100);
  pass();
  ASSERT_FALSE(hw.control.empty());
  EXPECT_EQ(last_control().desc.ack, base + 100) << "the lagging ACK";
  const size_t sent = hw.control.size();
  place({TCP_ACK, 0, 0, PEER_WINDOW, 300}, false);
  advance_ms(20);
  pass();
  ASSERT_EQ(hw.control.size(), sent + 1);
  EXPECT_EQ(last_control().desc.ack, base + 400) << "the idle ACK";
  EXPECT_EQ(tcp.state, TCP_FIN_WAIT2);
}

// The peer's FIN in order behind data the application has not read is acknowledged
// with the data, once; the connection stays established until the application reads
// up to it.
TEST_F(tcp_worker, idle_ack_covers_the_peers_fin_and_the_state_waits_for_the_reader) {
  const uint32_t base = establish_reading();
  place({TCP_ACK, 0, 0, PEER_WINDOW, 100}, false);
  place({TCP_ACK | TCP_FIN, 100, 0, PEER_WINDOW, 0}, true);
  advance_ms(20);
  EXPECT_TRUE(pass()) << "an acknowledging pass: the next comes soon";
  ASSERT_EQ(hw.control.size(), 1u);
  EXPECT_EQ(last_control().desc.ack, base + 101);
  EXPECT_EQ(tcp.state, TCP_ESTABLISHED);
  EXPECT_FALSE(pass());
  EXPECT_EQ(hw.control.size(), 1u);
}

TEST_F(tcp_worker, idle_ack_covers_in_order_data_once) {
  const uint32_t base = establish_reading();
  place({TCP_ACK, 0, 0, PEER_WINDOW, 100}, false);
  place({TCP_ACK, 300, 0, PEER_WINDOW, 10}, true);  // behind a gap
  place({TCP_ACK, 100, 0, PEER_WINDOW, 50}, false);
  advance_ms(5);
  pass();
  EXPECT_TRUE(hw.control.empty()) << "the application read 5 ms ago";
  advance_ms(5);
  pass();
  ASSERT_EQ(hw.control.size(), 1u);
  EXPECT_EQ(last_control().desc.tcp_flags, TCP_ACK);
  EXPECT_EQ(last_control().desc.ack, base + 150);
  EXPECT_EQ(last_control().desc.seq, tcp.tx_seq.load().v);
  EXPECT_EQ(last_control().desc.ttl, 64);
  EXPECT_EQ(tcp.rx_highest.load().v, base + 150);
  EXPECT_EQ(tcp.ack_point().v, base + 150) << "what our data segments acknowledge";
  pass();
  EXPECT_EQ(hw.control.size(), 1u);

  // The application reads what was acknowledged: nothing more to acknowledge.
  tcp.last_rx_tsc = clock.tsc;
  tcp.consume_rx(150);
  pass();
  advance_ms(20);
  pass();
  EXPECT_EQ(hw.control.size(), 1u);

  // The gap fills: the data behind it is acknowledged too.
  place({TCP_ACK, 0, 0, PEER_WINDOW, 150}, false);
  pass();
  ASSERT_EQ(hw.control.size(), 2u);
  EXPECT_EQ(last_control().desc.ack, base + 310);
}

// While the application does not receive (it may sit in a long send, having received
// nothing yet or long ago), every data segment the card leaves to software draws an ACK
// of its own from the worker, at the in-order end: beyond a gap they are the duplicate
// ACKs of the peer's fast retransmit; a repeat of data we hold tells a peer whose
// earlier ACK was lost where we are. While the application receives, its receive path
// answers them instead.
struct tcp_worker_flagged : tcp_worker, testing::WithParamInterface<bool> {};

TEST_P(tcp_worker_flagged, each_flagged_data_segment_acknowledged_once) {
  establish();
  tcp.rx_data_seen = GetParam();
  const uint32_t base = tcp.rx_seq.load().v;
  place({TCP_ACK, 0, 0, PEER_WINDOW, 100}, false);
  const int beyond_gap = place({TCP_ACK, 200, 0, PEER_WINDOW, 100}, true);
  place({TCP_ACK, 300, 0, PEER_WINDOW, 100}, true);
  tcp.last_rx_tsc = clock.tsc;
  pass();
  EXPECT_TRUE(hw.control.empty()) << "the application receives";
  EXPECT_TRUE(ring.flagged(beyond_gap));
  advance_ms(20);
  pass();
  ASSERT_EQ(hw.control.size(), 2u);
  for (const sent_segment& c : hw.control) {
    EXPECT_EQ(c.desc.tcp_flags, TCP_ACK);
    EXPECT_EQ(c.desc.ack, base + 100);
    EXPECT_EQ(c.desc.seq, tcp.tx_seq.load().v);
  }
  EXPECT_FALSE(ring.flagged(beyond_gap));
  pass();
  EXPECT_EQ(hw.control.size(), 2u) << "each segment once";
  // The peer sends again what the ring holds: our ACK of it was lost.
  for (int repeat = 1; repeat <= 2; ++repeat) {
    place({TCP_ACK, 0, 0, PEER_WINDOW, 100}, true);
    pass();
    ASSERT_EQ(hw.control.size(), 2u + size_t(repeat));
    EXPECT_EQ(last_control().desc.ack, base + 100);
  }
  EXPECT_EQ(tcp.state, TCP_ESTABLISHED);
}

INSTANTIATE_TEST_SUITE_P(data_seen, tcp_worker_flagged, testing::Bool());

// While the application does not receive, a segment without payload from before our
// window that the card left to software (a keepalive or a probe of our window at
// rx_seq - 1, or after the peer's FIN at the FIN's number) draws one ACK of where we
// are from the worker, however many passes meet it; a flagged pure ACK at rx_seq draws
// none. Established before and after the first data, and in the states in which the
// peer may still send or probe.
struct probe_case {
  const char* name;
  int state;
  bool data_seen;
};

struct tcp_worker_probe : tcp_worker, testing::WithParamInterface<probe_case> {};

TEST_P(tcp_worker_probe, answered_once_per_segment_and_pure_ack_at_rx_seq_not) {
  const probe_case& c = GetParam();
  establish();
  tcp.rx_data_seen = c.data_seen;
  if (c.state == TCP_CLOSE_WAIT) deliver({TCP_FIN | TCP_ACK});
  if (c.state == TCP_FIN_WAIT2) {
    tcp.disconnect();
    deliver({TCP_ACK});
  }
  ASSERT_EQ(tcp.state, c.state);
  tcp.last_rx_tsc = clock.tsc;
  advance_ms(20);
  const size_t sent = hw.control.size();
  place({TCP_ACK}, true);
  pass();
  EXPECT_EQ(hw.control.size(), sent) << "a pure ACK at rx_seq";
  for (size_t probes = 1; probes <= 2; ++probes) {
    const int probe = place({TCP_ACK, -1}, true);
    pass();
    pass();
    ASSERT_EQ(hw.control.size(), sent + probes);
    EXPECT_EQ(last_control().desc.tcp_flags, TCP_ACK);
    EXPECT_EQ(last_control().desc.ack, tcp.rx_seq.load().v);
    EXPECT_EQ(last_control().desc.seq, tcp.tx_seq.load().v);
    EXPECT_FALSE(ring.flagged(probe));
  }
  EXPECT_EQ(tcp.state, c.state);
}

INSTANTIATE_TEST_SUITE_P(
    cases, tcp_worker_probe,
    testing::Values(probe_case{"established_before_data", TCP_ESTABLISHED, false},
                    probe_case{"established_after_data", TCP_ESTABLISHED, true},
                    probe_case{"fin_wait2", TCP_FIN_WAIT2, true},
                    probe_case{"close_wait", TCP_CLOSE_WAIT, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(tcp_worker, idle_measure_ignores_a_counter_ahead_of_ours) {
  establish();
  place({TCP_ACK, 0, 0, PEER_WINDOW, 100}, false);
  // The receive call stamped its counter after the worker read the clock for this pass.
  tcp.last_rx_tsc = clock.tsc + NS_PER_MS;
  pass();
  EXPECT_TRUE(hw.control.empty());
}

TEST_F(tcp_worker, lagging_ack_for_consumed_data) {
  for (bool fails : {false, true}) {
    SCOPED_TRACE(fails);
    hw.control.clear();
    tcp.set_state(TCP_CLOSE);
    establish();
    hw.socket_fails = fails;
    tcp.last_rx_tsc = clock.tsc;
    const uint32_t rx_ack = tcp.rx_ack.load().v;
    tcp.consume_rx(100);
    testing::internal::CaptureStdout();
    pass();
    pass();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(hw.control.size(), fails ? 0u : 1u);
    if (!fails) {
      EXPECT_EQ(last_control().desc.ack, tcp.rx_seq.load().v);
    }
    EXPECT_EQ(out, fails ? KVEL_RED "Internal error sending ack\n\n" : "");
    EXPECT_EQ(tcp.rx_highest, tcp.rx_seq) << "recorded, sent or not";
    EXPECT_EQ(tcp.rx_ack.load().v, rx_ack);
    hw.socket_fails = false;
  }
}

// The card gives up on data it cannot deliver, in whichever direction is still open.
TEST_F(tcp_worker, reset_request_executed_once) {
  for (int state : {TCP_ESTABLISHED, TCP_CLOSE_WAIT, TCP_FIN_WAIT2}) {
    SCOPED_TRACE(state);
    tcp.set_state(TCP_CLOSE);
    hw.control.clear();
    establish();
    if (state == TCP_CLOSE_WAIT) deliver({TCP_FIN | TCP_ACK});
    if (state == TCP_FIN_WAIT2) {
      tcp.disconnect();
      deliver({TCP_ACK});
    }
    ASSERT_EQ(tcp.state, state);
    ASSERT_NE(hw.txack_, nullptr);
    hw.txack_->fin_rst_flags = TCP_RESET_REQUEST;
    hw.control.clear();
    testing::internal::CaptureStdout();
    pass();
    pass();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Send reset\n");
    ASSERT_EQ(hw.control.size(), 1u);
    EXPECT_EQ(last_control().desc.tcp_flags, TCP_RST);
    EXPECT_EQ(last_control().desc.ack, tcp.rx_seq.load().v);
    EXPECT_EQ(last_control().desc.seq, tcp.tx_seq.load().v);
    EXPECT_EQ(last_control().desc.ttl, 64);
    EXPECT_EQ(tcp.state, TCP_CLOSE);
    EXPECT_FALSE(hw.rst_on_release);
  }
}

// A session whose acknowledgement offload could not be switched on has no block.
TEST_F(tcp_worker, no_txack_block_no_reset_request) {
  establish();
  hw.txack_ = nullptr;
  pass();
  EXPECT_EQ(tcp.state, TCP_ESTABLISHED);
}

TEST_F(tcp_worker, thread_runs_the_handshake_and_stops_on_release) {
  ASSERT_EQ(tcp.send_syn(), 0);
  place_syn_ack(true);
  tcp_worker_start(tcp);
  const auto id = tcp.worker.get_id();
  tcp_worker_start(tcp);
  EXPECT_EQ(tcp.worker.get_id(), id) << "one worker per handle";
  for (int i = 0; i < 5000 && tcp.state.load() != TCP_ESTABLISHED; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(tcp.state.load(), TCP_ESTABLISHED);
  tcp.release();
  EXPECT_FALSE(tcp.worker.joinable());
  EXPECT_EQ(tcp.running.load(), 0);
}

}  // namespace

// ---- VYX_DEBUG status ----

TEST_F(tcp_worker, status_text_shows_bookkeeping_ring_registers_and_block) {
  hw.regs[0x100 / 8] = 4096;
  hw.regs[0x108 / 8] = 12;
  hw.regs[0x110 / 8] = 40;
  hw.regs[0x118 / 8] = 3;
  tcp.state = TCP_SYN_SENT;
  tcp.tx_available_quota = 5;
  tcp.bk_tx_ack = tcp_seq(10);
  tcp.tx_seq = tcp_seq(11);
  tcp.tx_window = 64000;
  tcp.tx_mss = 1400;
  tcp.rx_to_be_ackd = tcp_seq(20);
  tcp.rx_ack = tcp_seq(21);
  tcp.rx_seq = tcp_seq(22);
  tcp.bk_rx_ack = tcp_seq(23);
  tcp.rx_window = 32768;
  tcp.local_mss = 1460;
  tcp.rx_rdptr = 7;
  std::string text;
  append_tcp_status(text, tcp);
  const std::string head =
      "TCP state = TCP_SYN_SENT\n"
      "tx_available_quota=5 bk_tx_ack=10 tx_seq=11 tx_window=64000 tx_mss=1400\n"
      "rx_to_be_ackd=20 rx_ack=21 rx_seq=22 bk_rx_ack=23 rx_window=32768 local_mss=1460\n"
      "rx_rdptr=7 bk_rx_rdptr=-1 recv_processed=0 processed_rx=0 bk_rx_recv_processed=0 "
      "(self=0)\n"
      "rx_dma: size=4096 rdptr=12 wrptr=40 dropped=3\n";
  EXPECT_EQ(text, head) << "no acknowledgement block before ESTABLISHED";
  tcp.state = TCP_CLOSE;
  tcp.rx_rdptr = -1;
  establish();
  hw.txack_->ack = 99;
  hw.txack_->win = 512;
  hw.txack_->dup_ack = 2;
  hw.txack_->fin_rst_flags = 1;
  deliver({TCP_FIN | TCP_ACK});  // half closed by the peer: the block stays in the dump
  text.clear();
  append_tcp_status(text, tcp);
  EXPECT_EQ(text.rfind("TCP state = TCP_CLOSE_WAIT\n", 0), 0u) << text;
  EXPECT_NE(text.find("txack: ack: 99, win 512 dup ack: 2 fin_rst_flags 1\n"), std::string::npos)
      << text;
}

// The thread starts with the worker when VYX_DEBUG was seen, and release stops it
// without waiting out its pause.
TEST_F(tcp_worker, status_thread_prints_once_a_second_until_release) {
  tcp.debug = "1";
  testing::internal::CaptureStdout();
  ASSERT_EQ(tcp.send_syn(), 0);
  tcp_worker_start(tcp);
  ASSERT_TRUE(tcp.status_thread.joinable());
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  tcp.release();
  EXPECT_FALSE(tcp.status_thread.joinable());
  const std::string out = testing::internal::GetCapturedStdout();
  size_t blocks = 0;
  for (size_t at = out.find("TCP state = "); at != std::string::npos;
       at = out.find("TCP state = ", at + 1))
    ++blocks;
  EXPECT_EQ(blocks, 1u) << out;
}

TEST_F(tcp_worker, no_status_thread_without_debug) {
  ASSERT_EQ(tcp.send_syn(), 0);
  tcp_worker_start(tcp);
  EXPECT_FALSE(tcp.status_thread.joinable());
}
