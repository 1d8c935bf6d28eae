// The card's reset request: a peer that stops hearing us after the connection is up
// leaves our data unacknowledged; once the card's retransmissions give up it asks for
// a reset, and the connection's worker sends the RST and closes.
#include <gtest/gtest.h>

#include <string>

#include "tcp_wire_fixture.h"

namespace {

using namespace std::chrono_literals;
using zt::with_flag;
using vyxtcp::TCP_RST;

using TcpResetRequest = zt::tcp_peer_test;

TEST_F(TcpResetRequest, CardGivingUpOnOurDataResetsAndClosesTheConnection) {
  zt::wire_recorder rec(7801);
  zt::handle_ptr c;
  const int conn = open_active(c, 7801, 7800);
  ASSERT_GE(conn, 0);
  EXPECT_EQ(zt::send_pattern(c.h, 500), 500u);
  EXPECT_EQ(zt::peer_receive_pattern(conn, 500), 500u);
  const auto before = zt::sim_counters(0);
  // From here on the peer hears nothing of the connection, the RST included.
  zt::peer_drop drop("ip saddr 198.18.0.1 tcp sport 7801");
  ASSERT_TRUE(drop.ok);
  testing::internal::CaptureStdout();
  EXPECT_EQ(zt::send_pattern(c.h, 1000), 1000u);
  const uint32_t data_end = c.h->tcp.tx_seq.load().v;
  const uint32_t rx_seq = c.h->tcp.rx_seq.load().v;
  const bool closed = zt::wait_until(
      [&] { return zorvsock_tcp_get_status(c.h) == ZORVSOCK_TCP_CLOSED; }, 20000);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(closed) << zorvsock_tcp_state_str(zorvsock_tcp_get_status(c.h));
  EXPECT_NE(out.find("Send reset\n"), std::string::npos) << out;
  zt::wire_segment rst;
  ASSERT_TRUE(rec.wait_for(with_flag(7801, TCP_RST), &rst));
  EXPECT_EQ(rst.seg.seq.v, data_end);
  EXPECT_EQ(rst.seg.ack.v, rx_seq);
  const auto after = zt::sim_counters(0);
  EXPECT_EQ(after.at("tcp_reset_requests") - before.at("tcp_reset_requests"), 1u);
  EXPECT_EQ(after.at("tcp_tx_retransmits") - before.at("tcp_tx_retransmits"), 2u);
  EXPECT_EQ(zorvsock_tcp_send(c.h, "x", 1, nullptr), -104);
  const void* data;
  EXPECT_EQ(zorvsock_tcp_zc_receive(c.h, &data, nullptr), -107);
  // The request is executed once, and release adds no reset of its own.
  zorvsock_release_handle(c.h);
  c.h = zorvsock_acquire_handle();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(rec.matching(with_flag(7801, TCP_RST)).size(), 1u);
}

}  // namespace
