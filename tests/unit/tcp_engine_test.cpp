// The TCP engine over a fake session: every transition with the segment it sends, the
// handshake senders and their options, the FIN that waits for the data before it, the
// sequence check of resets, the resend schedule and the card features at ESTABLISHED.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tcp/vyx_tcp_syn_frame.h"
#include "tcp_engine_fixture.h"

// Every member over the real hardware session, so that the engine and the session
// cannot drift apart while only the fake is exercised here.
template struct vyxtcp::sw_tcp<vyxtcp::tcp_hw_session>;

namespace {

using namespace vyxtcp;
using vyxtcp_test::engine_fixture;
using vyxtcp_test::peer_segment;
using vyxtcp_test::PEER_ISN;
using vyxtcp_test::PEER_WINDOW;

struct transition {
  const char* name;
  int from;
  peer_segment seg;
  int to;
  uint8_t answer;  // flags of the control segment sent, 0 for none
};

// Reset on release is on exactly while an established connection is not final: data
// may still flow either way, half closed included.
bool rst_expected(int s) {
  return s == TCP_ESTABLISHED || s == TCP_CLOSE_WAIT || s == TCP_FIN_WAIT1 ||
         s == TCP_FIN_WAIT2 || s == TCP_LAST_ACK;
}

constexpr uint8_t RST_ACK = TCP_RST | TCP_ACK;
constexpr uint8_t FIN_ACK = TCP_FIN | TCP_ACK;

const transition TRANSITIONS[] = {
    {"syn_sent_rst_acking_syn", TCP_SYN_SENT, {RST_ACK}, TCP_CLOSE, 0},
    {"syn_sent_rst_other_ack", TCP_SYN_SENT, {RST_ACK, 0, 1}, TCP_SYN_SENT, 0},
    {"syn_sent_rst_without_ack_flag", TCP_SYN_SENT, {TCP_RST}, TCP_SYN_SENT, 0},
    {"syn_sent_plain_ack", TCP_SYN_SENT, {TCP_ACK}, TCP_SYN_SENT, 0},
    {"syn_recv_ack", TCP_SYN_RECV, {TCP_ACK}, TCP_ESTABLISHED, 0},
    {"syn_recv_ack_of_nothing_sent", TCP_SYN_RECV, {TCP_ACK, 0, 1}, TCP_SYN_RECV, 0},
    {"syn_recv_ack_before_syn_ack", TCP_SYN_RECV, {TCP_ACK, 0, -1}, TCP_SYN_RECV, 0},
    {"syn_recv_rst_in_window", TCP_SYN_RECV, {TCP_RST}, TCP_CLOSE, 0},
    {"syn_recv_rst_before_window", TCP_SYN_RECV, {TCP_RST, -1}, TCP_SYN_RECV, 0},
    {"established_rst_in_window", TCP_ESTABLISHED, {TCP_RST, 1000}, TCP_CLOSE, 0},
    {"established_rst_before_window", TCP_ESTABLISHED, {TCP_RST, -1}, TCP_ESTABLISHED, 0},
    {"established_rst_far_away", TCP_ESTABLISHED, {TCP_RST, 0x10000000}, TCP_ESTABLISHED, 0},
    {"established_fin", TCP_ESTABLISHED, {FIN_ACK}, TCP_CLOSE_WAIT, TCP_ACK},
    {"established_fin_without_ack_flag", TCP_ESTABLISHED, {TCP_FIN}, TCP_CLOSE_WAIT, TCP_ACK},
    {"established_fin_behind_missing_data", TCP_ESTABLISHED, {FIN_ACK, 10}, TCP_ESTABLISHED, 0},
    {"established_fin_acking_nothing_sent", TCP_ESTABLISHED, {FIN_ACK, 0, 1}, TCP_ESTABLISHED, 0},
    {"established_repeated_syn_ack", TCP_ESTABLISHED, {TCP_SYN | TCP_ACK, -1}, TCP_ESTABLISHED, 0},
    {"established_ack", TCP_ESTABLISHED, {TCP_ACK}, TCP_ESTABLISHED, 0},
    {"fin_wait1_ack_of_fin", TCP_FIN_WAIT1, {TCP_ACK}, TCP_FIN_WAIT2, 0},
    {"fin_wait1_ack_before_fin", TCP_FIN_WAIT1, {TCP_ACK, 0, -1}, TCP_FIN_WAIT1, 0},
    {"fin_wait1_fin_acking_fin", TCP_FIN_WAIT1, {FIN_ACK}, TCP_TIME_WAIT, TCP_ACK},
    {"fin_wait1_fin_before_our_fin_acked", TCP_FIN_WAIT1, {FIN_ACK, 0, -1}, TCP_CLOSING, TCP_ACK},
    {"fin_wait1_fin_without_ack_flag", TCP_FIN_WAIT1, {TCP_FIN}, TCP_CLOSING, TCP_ACK},
    {"fin_wait1_rst", TCP_FIN_WAIT1, {TCP_RST}, TCP_CLOSE, 0},
    {"fin_wait2_fin", TCP_FIN_WAIT2, {FIN_ACK}, TCP_TIME_WAIT, TCP_ACK},
    {"fin_wait2_rst", TCP_FIN_WAIT2, {TCP_RST}, TCP_CLOSE, 0},
    {"fin_wait2_rst_before_window", TCP_FIN_WAIT2, {TCP_RST, -1}, TCP_FIN_WAIT2, 0},
    {"close_wait_ack", TCP_CLOSE_WAIT, {TCP_ACK}, TCP_CLOSE_WAIT, 0},
    {"close_wait_data_after_fin", TCP_CLOSE_WAIT, {TCP_ACK, 0, 0, PEER_WINDOW, 100}, TCP_CLOSE_WAIT, 0},
    {"close_wait_repeated_fin", TCP_CLOSE_WAIT, {FIN_ACK, -1}, TCP_CLOSE_WAIT, TCP_ACK},
    {"close_wait_rst", TCP_CLOSE_WAIT, {TCP_RST}, TCP_CLOSE, 0},
    {"close_wait_rst_before_window", TCP_CLOSE_WAIT, {TCP_RST, -1}, TCP_CLOSE_WAIT, 0},
    {"close_wait_syn", TCP_CLOSE_WAIT, {TCP_SYN | TCP_ACK, -1}, TCP_CLOSE_WAIT, 0},
    {"last_ack_ack_of_fin", TCP_LAST_ACK, {TCP_ACK}, TCP_CLOSE, 0},
    {"last_ack_ack_before_fin", TCP_LAST_ACK, {TCP_ACK, 0, -1}, TCP_LAST_ACK, 0},
    {"last_ack_repeated_fin", TCP_LAST_ACK, {FIN_ACK, -1, -1}, TCP_LAST_ACK, FIN_ACK},
    {"last_ack_rst", TCP_LAST_ACK, {TCP_RST}, TCP_CLOSE, 0},
    {"closing_ack_of_fin", TCP_CLOSING, {TCP_ACK}, TCP_TIME_WAIT, 0},
    {"time_wait_repeated_fin", TCP_TIME_WAIT, {FIN_ACK, -1}, TCP_TIME_WAIT, TCP_ACK},
    {"time_wait_rst", TCP_TIME_WAIT, {TCP_RST}, TCP_TIME_WAIT, 0},
};

struct engine_transitions : engine_fixture, ::testing::WithParamInterface<transition> {};

TEST_P(engine_transitions, fsm_state_segment) {
  const transition& t = GetParam();
  go_to(t.from);
  ASSERT_EQ(tcp.state, t.from);
  const size_t sent = hw.control.size();
  deliver(t.seg);
  EXPECT_EQ(tcp.state, t.to);
  EXPECT_EQ(hw.rst_on_release, rst_expected(t.to));
  if (t.answer == 0) {
    EXPECT_EQ(hw.control.size(), sent);
    return;
  }
  ASSERT_EQ(hw.control.size(), sent + 1);
  EXPECT_EQ(last_control().desc.tcp_flags, t.answer);
  EXPECT_EQ(last_control().desc.ack, tcp.rx_seq.load().v);
}

INSTANTIATE_TEST_SUITE_P(all, engine_transitions, ::testing::ValuesIn(TRANSITIONS),
                         [](const auto& info) { return std::string(info.param.name); });

using tcp_engine = engine_fixture;

TEST_F(tcp_engine, syn_sent_syn_options_and_isn) {
  ASSERT_EQ(tcp.send_syn(), 0);
  ASSERT_EQ(hw.tx_pio_.writes.size(), 1u);
  const auto& syn = hw.tx_pio_.writes[0];
  EXPECT_EQ(syn.desc.tcp_flags, TCP_SYN);
  EXPECT_EQ(syn.desc.ack, 0u);
  EXPECT_EQ(syn.desc.window, 65000);
  EXPECT_EQ(syn.desc.length, 8);
  EXPECT_EQ(syn.desc.slot_hdr, 7);
  EXPECT_EQ(syn.payload, (std::vector<uint8_t>{2, 4, 0x05, 0xb4, 1, 3, 3, 7}));
  EXPECT_EQ(tcp.tx_seq.load().v, syn.desc.seq + 1);
  EXPECT_EQ(tcp.rx_window, 4194304u);
  EXPECT_EQ(tcp.own_wscale, 7u);
  EXPECT_EQ(tcp.adv_window, 32768u);
  EXPECT_EQ(tcp.ctrl_desc.slot_hdr, 5);  // the options widen only the SYN's copy
}

TEST_F(tcp_engine, syn_sent_syn_ack_scaled) {
  go_to(TCP_ESTABLISHED);
  EXPECT_EQ(tcp.rx_seq.load().v, PEER_ISN + 1);
  EXPECT_EQ(tcp.peer_wscale, 7u);
  EXPECT_EQ(tcp.tx_window, PEER_WINDOW);  // a SYN's window is never scaled
  EXPECT_EQ(tcp.ctrl_desc.window, 32768);
  EXPECT_EQ(tcp.data_desc.window, 32768);
  ASSERT_EQ(hw.tx_pio_.writes.size(), 2u);  // the SYN, then the last handshake ACK
  const auto& ack = hw.tx_pio_.writes[1];
  EXPECT_EQ(ack.desc.tcp_flags, TCP_ACK);
  EXPECT_EQ(ack.desc.ack, PEER_ISN + 1);
  EXPECT_EQ(ack.desc.seq, tcp.tx_seq.load().v);
  EXPECT_EQ(ack.desc.length, 0);
  EXPECT_EQ(tcp.rx_ack, tcp.rx_seq);
  EXPECT_TRUE(hw.control.empty());
}

struct syn_option_case {
  const char* name;
  std::vector<uint8_t> options;
  int mss;
  uint32_t own_wscale, rx_window, adv_window, peer_wscale;
};

TEST_F(tcp_engine, syn_sent_syn_ack_options_table) {
  const syn_option_case cases[] = {
      {"no options", {}, 1460, 0, 65000, 65000, 0},
      {"mss 1400", {2, 4, 0x05, 0x78}, 1400, 0, 65000, 65000, 0},
      {"mss 0 keeps the default", {2, 4, 0, 0, 1, 3, 3, 7}, 1460, 7, 4194304, 32768, 7},
      // Both SYNs carry the option: ours is scaled by our shift, the peer's not at all.
      {"shift 0", {1, 3, 3, 0}, 1460, 7, 4194304, 32768, 0},
      {"shift 20 clamped", {1, 3, 3, 20}, 1460, 7, 4194304, 32768, 14},
      {"length 0 option ends the walk", {30, 0, 1, 3, 3, 7}, 1460, 0, 65000, 65000, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    vyxtcp_test::fake_tcp_session session;
    vyxtcp::sw_tcp<vyxtcp_test::fake_tcp_session> e(&session);
    e.debug = nullptr;
    e.ctrl_desc.slot_hdr = 5;
    ASSERT_EQ(e.send_syn(), 0);
    const auto b = vyxtcp_test::tcp_bytes(PEER_ISN, e.tx_seq.load().v, TCP_SYN | TCP_ACK, PEER_WINDOW,
                                          c.options, 0);
    e.tcp_process_fsm_rx(b.data(), int(b.size()));
    EXPECT_EQ(e.state, TCP_ESTABLISHED);
    EXPECT_EQ(e.tx_mss, c.mss);
    EXPECT_EQ(e.own_wscale, c.own_wscale);
    EXPECT_EQ(e.rx_window, c.rx_window);
    EXPECT_EQ(e.adv_window, c.adv_window);
    EXPECT_EQ(e.peer_wscale, c.peer_wscale);
    EXPECT_EQ(e.tx_window, PEER_WINDOW);
    e.release();
  }
}

// A SYN-ACK of something else is refused with a reset and the SYN sent again at once;
// the schedule's resends keep the ISN.
TEST_F(tcp_engine, syn_sent_wrong_ack_then_resend_same_isn) {
  ASSERT_EQ(tcp.send_syn(), 0);
  const uint32_t isn = hw.tx_pio_.writes[0].desc.seq;
  deliver_syn(TCP_SYN | TCP_ACK, {}, 1);
  EXPECT_EQ(tcp.state, TCP_SYN_SENT);
  ASSERT_EQ(hw.control.size(), 1u);
  EXPECT_EQ(last_control().desc.tcp_flags, TCP_RST);
  EXPECT_EQ(last_control().desc.seq, isn + 2);
  timespec later = tcp.handshake_time;
  later.tv_sec += 1;
  tcp.resend_check(later);
  ASSERT_EQ(hw.tx_pio_.writes.size(), 3u);
  EXPECT_EQ(hw.tx_pio_.writes[1].desc.seq, isn);
  EXPECT_EQ(hw.tx_pio_.writes[2].desc.seq, isn);
  EXPECT_EQ(tcp.tx_seq.load().v, isn + 1);
  deliver_syn(TCP_SYN | TCP_ACK, {});
  EXPECT_EQ(tcp.state, TCP_ESTABLISHED);
}

// RFC 9293 3.10.7.3: an ACK of anything but our SYN draws a reset at its acknowledgement
// number (the peer's old connection on the 4-tuple ends), then the SYN goes again at
// once with the same ISN; a RST with such an ACK is dropped.
TEST_F(tcp_engine, syn_sent_unacceptable_ack_draws_a_reset_and_the_syn_again) {
  ASSERT_EQ(tcp.send_syn(), 0);
  const uint32_t isn = hw.tx_pio_.writes[0].desc.seq;
  const auto stale = vyxtcp_test::tcp_bytes(PEER_ISN, 12345, TCP_ACK, PEER_WINDOW, {}, 0);
  tcp.tcp_process_fsm_rx(stale.data(), int(stale.size()));
  ASSERT_EQ(hw.control.size(), 1u);
  EXPECT_EQ(last_control().desc.tcp_flags, TCP_RST);
  EXPECT_EQ(last_control().desc.seq, 12345u);
  ASSERT_EQ(hw.tx_pio_.writes.size(), 2u);
  EXPECT_EQ(hw.tx_pio_.writes[1].desc.tcp_flags, TCP_SYN);
  EXPECT_EQ(hw.tx_pio_.writes[1].desc.seq, isn);
  EXPECT_EQ(tcp.state, TCP_SYN_SENT);
  const auto rst = vyxtcp_test::tcp_bytes(PEER_ISN, 12345, TCP_RST | TCP_ACK, PEER_WINDOW, {}, 0);
  tcp.tcp_process_fsm_rx(rst.data(), int(rst.size()));
  EXPECT_EQ(tcp.state, TCP_SYN_SENT);
  EXPECT_EQ(hw.control.size(), 1u);
  deliver_syn(TCP_SYN | TCP_ACK, {});
  EXPECT_EQ(tcp.state, TCP_ESTABLISHED);
}

// A reset counts from where the peer sees our receive point (the furthest ACK sent) to
// the right edge we offered there (a whole window of 4 MiB beyond it: the 16 MiB ring
// holds more of the stream), which a peer that filled our window has reached.
struct rst_case {
  const char* name;
  int32_t seq_off;  // from rx_seq
  bool accepted;
};
const rst_case RST_CASES[] = {{"before_rx_seq", -1, false},
                              {"at_rx_seq_below_our_ack", 0, false},
                              {"at_our_ack", 3000000, true},
                              {"at_the_right_edge", 3000000 + 4194304, true},
                              {"beyond_the_right_edge", 3000000 + 4194305, false}};

class engine_reset_window : public engine_fixture, public ::testing::WithParamInterface<rst_case> {};

TEST_P(engine_reset_window, counts_from_the_furthest_ack_to_the_right_edge) {
  go_to(TCP_ESTABLISHED);
  tcp.rx_highest = tcp.rx_seq.load() + 3000000;  // the worker acknowledged ahead
  deliver({TCP_RST, GetParam().seq_off, 0});
  EXPECT_EQ(tcp.state, GetParam().accepted ? TCP_CLOSE : TCP_ESTABLISHED);
}

INSTANTIATE_TEST_SUITE_P(all, engine_reset_window, ::testing::ValuesIn(RST_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(tcp_engine, syn_sent_write_fails_state_kept) {
  hw.tx_pio_.full = true;
  EXPECT_EQ(tcp.send_syn(), -101);
  EXPECT_EQ(tcp.state, TCP_SYN_SENT);
}

TEST_F(tcp_engine, syn_recv_syn_ack_options) {
  go_to(TCP_SYN_RECV);
  ASSERT_EQ(hw.tx_pio_.writes.size(), 1u);
  const auto& sa = hw.tx_pio_.writes[0];
  EXPECT_EQ(sa.desc.tcp_flags, TCP_SYN | TCP_ACK);
  EXPECT_EQ(sa.desc.ack, PEER_ISN + 1);
  EXPECT_EQ(sa.payload, (std::vector<uint8_t>{2, 4, 0x05, 0xb4, 1, 3, 3, 7}));
  deliver({TCP_ACK});
  EXPECT_EQ(tcp.state, TCP_ESTABLISHED);
  EXPECT_EQ(tcp.data_desc.window, 32768);
  EXPECT_EQ(tcp.tx_window, uint32_t(PEER_WINDOW) << 7);
}

TEST_F(tcp_engine, syn_recv_peer_without_scale_gets_none) {
  tcp.set_state(TCP_LISTEN);
  const auto b = vyxtcp_test::tcp_bytes(PEER_ISN, 0, TCP_SYN, PEER_WINDOW, {2, 4, 5, 0x78}, 0);
  tcp_segment s;
  ASSERT_TRUE(tcp_parse_segment(b.data(), b.size(), &s));
  tcp.process_syn_options(s);
  ASSERT_EQ(tcp.send_syn_ack(), 0);
  EXPECT_EQ(hw.tx_pio_.writes[0].payload, (std::vector<uint8_t>{2, 4, 0x05, 0xb4}));
  EXPECT_EQ(hw.tx_pio_.writes[0].desc.slot_hdr, 6);
  EXPECT_EQ(tcp.own_wscale, 0u);
  EXPECT_EQ(tcp.rx_window, 65000u);
  EXPECT_EQ(tcp.tx_mss, 1400);
}

TEST_F(tcp_engine, established_accelerators_switched_on) {
  go_to(TCP_ESTABLISHED);
  EXPECT_EQ(hw.reg(0x120), 8192u);
  EXPECT_EQ(hw.control_ & 0x0Cu, 0x0Cu);
  EXPECT_EQ(hw.reg(0x08), hw.control_);
  ASSERT_TRUE(reinterpret_cast<volatile uint8_t*>(hw.txack_) == hw.tx_pio_.feedback + 64);
  EXPECT_EQ(hw.txack_->ack, tcp.tx_seq.load().v);
  EXPECT_EQ(hw.txack_->win, PEER_WINDOW >> 7);  // the window field, as the peer scales it
  EXPECT_TRUE(hw.rst_on_release);
}

TEST_F(tcp_engine, established_accelerators_without_registers) {
  hw.reg_ = nullptr;
  testing::internal::CaptureStdout();
  go_to(TCP_ESTABLISHED);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("internal error, ununitialized reg_"), std::string::npos);
  EXPECT_NE(out.find("TX ack processing offload enable failed"), std::string::npos);
  EXPECT_EQ(tcp.state, TCP_ESTABLISHED);
  EXPECT_TRUE(hw.txack_ == nullptr);
  EXPECT_TRUE(hw.rst_on_release);
}

TEST_F(tcp_engine, established_and_half_closed_trace_lines) {
  const std::string opening =
      "TCP: TCP_CLOSE --> TCP_SYN_SENT\nTCP: TCP_SYN_SENT --> TCP_ESTABLISHED\n";
  const std::string half_closed = opening + "TCP: TCP_ESTABLISHED --> TCP_CLOSE_WAIT\n";
  const struct {
    int target;
    std::string lines;
  } cases[] = {{TCP_ESTABLISHED, opening},
               {TCP_CLOSE_WAIT, half_closed},
               {TCP_LAST_ACK, half_closed + "TCP: TCP_CLOSE_WAIT --> TCP_LAST_ACK\n"}};
  for (const auto& c : cases) {
    tcp.state = TCP_CLOSE;
    tcp.debug = "1";
    testing::internal::CaptureStdout();
    go_to(c.target);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.lines);
  }
}

// The peer's FIN must not overtake data that the application has not consumed: the
// FIN would move rx_seq past it, and the data would be acknowledged and lost.
TEST_F(tcp_engine, established_fin_waits_for_unconsumed_data) {
  go_to(TCP_ESTABLISHED);
  const uint32_t start = tcp.rx_seq.load().v;
  deliver({TCP_ACK, 0, 0, PEER_WINDOW, 100});
  deliver({FIN_ACK, 100});
  EXPECT_EQ(tcp.state, TCP_ESTABLISHED);
  EXPECT_EQ(tcp.rx_seq.load().v, start);
  EXPECT_TRUE(hw.control.empty());
  tcp.consume_rx(60);
  EXPECT_EQ(tcp.state, TCP_ESTABLISHED);
  tcp.consume_rx(40);
  EXPECT_EQ(tcp.state, TCP_CLOSE_WAIT);
  ASSERT_EQ(hw.control.size(), 1u);
  EXPECT_EQ(last_control().desc.tcp_flags, TCP_ACK);
  EXPECT_EQ(last_control().desc.ack, start + 101);
}

TEST_F(tcp_engine, established_fin_on_data_segment_keeps_payload) {
  go_to(TCP_ESTABLISHED);
  const uint32_t start = tcp.rx_seq.load().v;
  deliver({FIN_ACK, 0, 0, PEER_WINDOW, 50});
  EXPECT_EQ(tcp.state, TCP_ESTABLISHED);
  EXPECT_EQ(tcp.rx_seq.load().v, start);  // the 50 bytes are still to be received
  tcp.consume_rx(50);
  EXPECT_EQ(tcp.state, TCP_CLOSE_WAIT);
  EXPECT_EQ(last_control().desc.ack, start + 51);
}

TEST_F(tcp_engine, fin_wait2_fin_waits_for_unconsumed_data) {
  go_to(TCP_FIN_WAIT2);
  deliver({FIN_ACK, 0, 0, PEER_WINDOW, 20});
  EXPECT_EQ(tcp.state, TCP_FIN_WAIT2);
  tcp.consume_rx(20);
  EXPECT_EQ(tcp.state, TCP_TIME_WAIT);
  EXPECT_EQ(last_control().desc.tcp_flags, TCP_ACK);
}

TEST_F(tcp_engine, fin_wait1_fin_sent_with_own_sequence) {
  go_to(TCP_ESTABLISHED);
  const uint32_t seq = tcp.tx_seq.load().v;
  tcp.disconnect();
  ASSERT_EQ(hw.control.size(), 1u);
  EXPECT_EQ(last_control().desc.tcp_flags, FIN_ACK);
  EXPECT_EQ(last_control().desc.seq, seq);
  EXPECT_EQ(tcp.tx_seq.load().v, seq + 1);
  EXPECT_EQ(tcp.state, TCP_FIN_WAIT1);
}

// A FIN that was lost would leave the connection half closed for ever: it is resent on
// the handshake's schedule, and the end of the schedule resets the connection.
TEST_F(tcp_engine, fin_wait1_fin_resent_then_reset) {
  hw.socket_fails = false;
  go_to(TCP_FIN_WAIT1);
  const uint32_t fin_seq = tcp.tx_seq.load().v - 1;
  timespec now = tcp.handshake_time;
  now.tv_nsec = 0;
  tcp.handshake_time = now;
  int resends = 0;
  for (int n = 0; n < 20 && tcp.state == TCP_FIN_WAIT1; ++n) {
    const size_t before = hw.control.size();
    now.tv_sec += n > 1 ? n * n - 1 : 0;
    tcp.resend_check(now);  // one second early: nothing
    EXPECT_EQ(hw.control.size(), before);
    now.tv_sec += 1;
    tcp.resend_check(now);
    if (tcp.state != TCP_FIN_WAIT1) break;
    ASSERT_EQ(hw.control.size(), before + 1);
    EXPECT_EQ(last_control().desc.tcp_flags, FIN_ACK);
    EXPECT_EQ(last_control().desc.seq, fin_seq);
    resends += 1;
  }
  EXPECT_EQ(resends, 14);
  EXPECT_EQ(tcp.state, TCP_CLOSE);
  EXPECT_EQ(last_control().desc.tcp_flags, TCP_RST);
  EXPECT_FALSE(hw.rst_on_release);
}

TEST_F(tcp_engine, syn_sent_schedule_ends_in_close) {
  ASSERT_EQ(tcp.send_syn(), 0);
  timespec now = tcp.handshake_time;
  for (int i = 0; i < 20 && tcp.state == TCP_SYN_SENT; ++i) {
    now.tv_sec += 200;
    tcp.resend_check(now);
  }
  EXPECT_EQ(tcp.state, TCP_CLOSE);
  EXPECT_EQ(hw.tx_pio_.writes.size(), 15u);  // the SYN and 14 resends
  EXPECT_TRUE(hw.control.empty());
}

TEST_F(tcp_engine, last_ack_fin_resent_until_acked) {
  go_to(TCP_LAST_ACK);
  const size_t sent = hw.control.size();  // our ACK of the peer's FIN, our FIN
  timespec now = tcp.handshake_time;
  now.tv_sec += 1;
  tcp.resend_check(now);
  ASSERT_EQ(hw.control.size(), sent + 1);
  EXPECT_EQ(last_control().desc.tcp_flags, FIN_ACK);
  deliver({TCP_ACK});
  EXPECT_EQ(tcp.state, TCP_CLOSE);
  now.tv_sec += 100;
  tcp.resend_check(now);
  EXPECT_EQ(hw.control.size(), sent + 1);
}

// Half closed by the peer: our side sends until the application closes it; our FIN
// then goes out with our next sequence number, and its ACK ends the connection.
TEST_F(tcp_engine, close_wait_disconnect_sends_fin_and_its_ack_closes) {
  go_to(TCP_ESTABLISHED);
  const uint32_t peer_fin = tcp.rx_seq.load().v;
  tcp.tx_seq = tcp.tx_seq + 5000;  // data sent before and after the peer's FIN
  deliver({FIN_ACK, 0, -5000});
  ASSERT_EQ(tcp.state, TCP_CLOSE_WAIT);
  EXPECT_EQ(tcp.rx_seq.load().v, peer_fin + 1);
  const uint32_t seq = tcp.tx_seq.load().v;
  tcp.disconnect();
  EXPECT_EQ(tcp.state, TCP_LAST_ACK);
  EXPECT_TRUE(hw.rst_on_release);
  EXPECT_EQ(last_control().desc.tcp_flags, FIN_ACK);
  EXPECT_EQ(last_control().desc.seq, seq);
  EXPECT_EQ(last_control().desc.ack, peer_fin + 1);
  EXPECT_EQ(tcp.tx_seq.load().v, seq + 1);
  deliver({TCP_ACK, 0, -1});  // the peer's ACK of our data, not of our FIN
  EXPECT_EQ(tcp.state, TCP_LAST_ACK);
  deliver({TCP_ACK});
  EXPECT_EQ(tcp.state, TCP_CLOSE);
  EXPECT_FALSE(hw.rst_on_release);
}

// The peer repeats its FIN when our ACK was lost; a ring scan may hand the same FIN
// over again. One ACK at most per second, counted from the ACK that took the FIN.
TEST_F(tcp_engine, close_wait_repeated_fin_answered_once_a_second) {
  go_to(TCP_ESTABLISHED);  // the handshake long ago
  deliver({FIN_ACK});
  ASSERT_EQ(tcp.state, TCP_CLOSE_WAIT);
  const size_t sent = hw.control.size();
  for (int i = 0; i < 3; ++i) deliver({FIN_ACK, -1});
  EXPECT_EQ(hw.control.size(), sent) << "within the second of our ACK";
  tcp.handshake_time.tv_sec -= 1;
  for (int i = 0; i < 3; ++i) deliver({FIN_ACK, -1});
  ASSERT_EQ(hw.control.size(), sent + 1);
  EXPECT_EQ(last_control().desc.tcp_flags, TCP_ACK);
  EXPECT_EQ(tcp.state, TCP_CLOSE_WAIT);
}

TEST_F(tcp_engine, last_ack_repeated_fin_answered_once_a_second) {
  go_to(TCP_LAST_ACK);
  const size_t sent = hw.control.size();
  for (int i = 0; i < 5; ++i) deliver({FIN_ACK, -1, -1});
  EXPECT_EQ(hw.control.size(), sent + 1);
  EXPECT_EQ(tcp.state, TCP_LAST_ACK);
}

// A new connection on the 4-tuple starts beyond what the clock allowed the last one to
// send: the ISN moves on with the clock, 250,000 a second.
TEST_F(tcp_engine, syn_sent_isn_grows_with_the_clock_and_resend_traced) {
  ASSERT_EQ(tcp.send_syn(), 0);
  const uint32_t first = tcp.tx_seq.load().v - 1;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  tcp.state = TCP_CLOSE;
  ASSERT_EQ(tcp.send_syn(), 0);
  const uint32_t gone = tcp.tx_seq.load().v - 1 - first;
  EXPECT_GE(gone, 5000u);       // at least 20 ms of 4 us ticks
  EXPECT_LT(gone, 250000u * 60);  // and not a random jump
  tcp.debug = "1";
  testing::internal::CaptureStdout();
  EXPECT_EQ(tcp.send_syn(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "TCP: TCP_SYN_SENT --> TCP_SYN_SENT\n");
}

TEST_F(tcp_engine, established_disconnect_when_not_established_closes) {
  go_to(TCP_SYN_SENT);
  tcp.disconnect();
  EXPECT_EQ(tcp.state, TCP_CLOSE);
  EXPECT_TRUE(hw.control.empty());
}

TEST_F(tcp_engine, established_malformed_segments_ignored) {
  go_to(TCP_ESTABLISHED);
  auto b = vyxtcp_test::tcp_bytes(tcp.rx_seq.load().v, tcp.tx_seq.load().v, TCP_RST, 100, {}, 0);
  tcp.tcp_process_fsm_rx(b.data(), 19);      // truncated
  tcp.tcp_process_fsm_rx(b.data(), -1);
  tcp.tcp_process_fsm_rx(nullptr, 40);
  b[12] = 0x40;                              // data offset 4
  tcp.tcp_process_fsm_rx(b.data(), int(b.size()));
  b[12] = 0x80;                              // header longer than the segment
  tcp.tcp_process_fsm_rx(b.data(), int(b.size()));
  EXPECT_EQ(tcp.state, TCP_ESTABLISHED);
}

TEST_F(tcp_engine, closed_segments_ignored) {
  deliver({TCP_SYN | TCP_ACK});
  deliver({TCP_RST});
  deliver({FIN_ACK});
  EXPECT_EQ(tcp.state, TCP_CLOSE);
  EXPECT_TRUE(hw.control.empty());
  EXPECT_TRUE(hw.tx_pio_.writes.empty());
}

// ---- check_syn_frame -----------------------------------------------------------

std::vector<uint8_t> syn_frame(uint8_t flags, uint16_t vlan) {
  tcp_tx_desc d{};
  d.remote_port = 80;
  d.local_port = 40000;
  d.remote_ip = 0xC6120001;
  d.seq = 12345;
  d.tcp_flags = flags;
  d.ttl = 64;
  d.slot_hdr = 5;
  const uint8_t mac[6] = {2, 0, 0, 0, 0, 1};
  std::vector<uint8_t> f(TCP_CTRL_FRAME_MAX);
  const int n = build_control_frame(f.data(), {mac, 0xC6120002, vlan}, d, nullptr);
  f.resize(size_t(n > 0 ? n : 0));
  return f;
}

void fix_ip_checksum(std::vector<uint8_t>& f, size_t ip) {
  f[ip + 10] = f[ip + 11] = 0;
  const uint16_t c = fold_checksum(ones_sum(f.data() + ip, 20, 0));
  f[ip + 10] = uint8_t(c >> 8);
  f[ip + 11] = uint8_t(c);
}

TEST(tcp_syn_frame, check_table) {
  struct frame_case {
    const char* name;
    std::vector<uint8_t> frame;
    int result;
  };
  auto bad_ip = syn_frame(TCP_SYN, 0);
  bad_ip[24] ^= 1;
  auto bad_tcp = syn_frame(TCP_SYN, 0);
  bad_tcp[50] ^= 1;
  auto short_total = syn_frame(TCP_SYN, 0);
  short_total[17] = 39;
  fix_ip_checksum(short_total, 14);
  auto long_total = syn_frame(TCP_SYN, 0);
  long_total[17] = 41;  // one byte more than was read
  fix_ip_checksum(long_total, 14);
  auto not_ip = syn_frame(TCP_SYN, 0);
  not_ip[13] = 0x06;
  auto udp = syn_frame(TCP_SYN, 0);
  udp[23] = 17;
  fix_ip_checksum(udp, 14);
  const frame_case cases[] = {
      {"syn", syn_frame(TCP_SYN, 0), 0},
      {"vlan syn", syn_frame(TCP_SYN, 100), 0},
      {"syn ack", syn_frame(TCP_SYN | TCP_ACK, 0), -1},
      {"ack", syn_frame(TCP_ACK, 0), -1},
      {"bad ip checksum", bad_ip, -1},
      {"bad tcp checksum", bad_tcp, -1},
      {"total length 39", short_total, -1},
      {"total length beyond the frame", long_total, -1},
      {"not ipv4", not_ip, -1},
      {"not tcp", udp, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.frame.empty());
    const std::vector<uint8_t> before = c.frame;
    EXPECT_EQ(check_syn_frame(c.frame.data(), c.frame.size()), c.result);
    EXPECT_EQ(c.frame, before);
  }
}

// Every truncation of a good SYN, read into a buffer of exactly that size, is refused
// without reading past it (the sanitizer build checks the bound).
TEST(tcp_syn_frame, check_truncated_frames) {
  for (uint16_t vlan : {uint16_t(0), uint16_t(100)}) {
    const auto f = syn_frame(TCP_SYN, vlan);
    for (size_t n = 0; n < f.size(); ++n) {
      std::vector<uint8_t> cut(f.begin(), f.begin() + long(n));
      EXPECT_EQ(check_syn_frame(cut.data(), cut.size()), -1) << n;
    }
  }
}

}  // namespace
