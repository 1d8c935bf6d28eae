// Time stamps of TCP connections on the card, opened actively and passively against the
// Linux peer: stamped sends get consecutive ids and the card's TX time plus the
// interface's TX correction; the receive time of a segment is the card's RX time minus
// the RX correction.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "fiber_fixture.h"
#include "rx_dma_ring.h"
#include "tcp/tcp_ring_walk.h"
#include "tcp_api_fixture.h"
#include "timestamp_fixture.h"
#include "zorvsock_handle.h"
#include "zorvtime.h"

namespace {

using namespace std::chrono_literals;

constexpr int LOG_ENTRIES = 1024;

uint64_t logged_ns(zorvsock_handle* h, uint64_t id) {
  const kvel::tx_timestamp_log& log = h->tcp.tx_log;
  return kvel::card_time_to_ns(log.entries_[id & log.mask_].time);
}

int send_retrying(zorvsock_handle* h, const void* data, int len, uint64_t* id) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  int rc;
  do rc = zorvsock_tcp_send(h, data, len, id);
  while (rc == -11 && std::chrono::steady_clock::now() < deadline);
  return rc;
}

class TcpTimestamps : public zt::tcp_api_test, public testing::WithParamInterface<bool> {
 protected:
  void TearDown() override { zt::remove_ts_config("kvel0"); }

  // An established connection with a log of LOG_ENTRIES: ours to the peer's server on
  // `port`, or (passive) the peer's to our listener on `port`, into c. The peer runs
  // `peer_args` on it.
  void open(zt::handle_ptr& c, zt::handle_ptr& l, uint16_t port, const std::string& peer_args,
            std::unique_ptr<zt::tcp_peer>* peer) {
    const bool passive = GetParam();
    if (passive) {
      ASSERT_EQ(zorvsock_enable_tx_timestamping(l.h, LOG_ENTRIES), 0);
      ASSERT_EQ(zorvsock_tcp_create_listener(l.h, "kvel0", port), 0);
      *peer = std::make_unique<zt::tcp_peer>("connect 198.18.0.1 " + std::to_string(port) + " " +
                                             peer_args);
      const auto deadline = std::chrono::steady_clock::now() + 30s;  // the peer is a python3
      while (zorvsock_tcp_accept_ready(l.h) != 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
      ASSERT_EQ(zorvsock_tcp_accept(l.h, c.h), 0);
    } else {
      *peer = std::make_unique<zt::tcp_peer>("serve " + std::to_string(port) + " " + peer_args);
      ASSERT_TRUE((*peer)->wait_ready());
      ASSERT_EQ(zorvsock_enable_tx_timestamping(c.h, LOG_ENTRIES), 0);
      ASSERT_EQ(zorvsock_tcp_connect(c.h, "kvel0", 0, zt::PEER_IP, port), 0);
    }
    ASSERT_EQ(zt::wait_state(c.h, ZORVSOCK_TCP_ESTABLISHED), ZORVSOCK_TCP_ESTABLISHED);
  }
};

TEST_P(TcpTimestamps, StampedSendsGetIdsAndCorrectedCardTimes) {
  zt::write_ts_config("kvel0", "ts_tx_internal_adjustment_ps=3000000\n");
  zt::handle_ptr c, l;
  std::unique_ptr<zt::tcp_peer> peer;
  const uint16_t port = GetParam() ? 7410 : 7400;
  open(c, l, port, "--recv 300", &peer);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(c.h->tx_adj_ns, 3000);
  ASSERT_NE(c.h->tcp.tx_log.entries_, nullptr);
  const std::string p(100, 'x');
  uint64_t ids[2] = {9, 9};
  const int64_t before = zt::host_ns();
  ASSERT_EQ(send_retrying(c.h, p.data(), 100, &ids[0]), 0);
  ASSERT_EQ(send_retrying(c.h, p.data(), 100, nullptr), 0);  // takes no id
  ASSERT_EQ(send_retrying(c.h, p.data(), 100, &ids[1]), 0);
  EXPECT_EQ(ids[0], 0u);
  EXPECT_EQ(ids[1], 1u);
  uint64_t last = 0;
  for (uint64_t id : ids) {
    const uint64_t t = zt::wait_stamp(c.h, id);
    ASSERT_GT(t, 2u) << "send " << id << " is logged";
    EXPECT_EQ(t, logged_ns(c.h, id) + 3000) << "card time plus the TX correction";
    EXPECT_GE(t, last);
    EXPECT_LT(std::llabs(int64_t(t) - before), 1000000000) << "the card's clock is the host's";
    last = t;
  }
  EXPECT_EQ(zorvsock_get_tx_timestamp(c.h, 2), 0u) << "not sent yet";
  EXPECT_EQ(zorvsock_tcp_disconnect(c.h), 0);
  EXPECT_EQ(peer->report()["received"], "300");
}

TEST_P(TcpTimestamps, ReceiveTimeIsCardTimeMinusTheRxCorrection) {
  zt::write_ts_config("kvel0", "ts_rx_internal_adjustment_ps=2000000\n"
                               "ts_rx_external_adjustment_ps=500000\n");
  zt::handle_ptr c, l;
  std::unique_ptr<zt::tcp_peer> peer;
  const uint16_t port = GetParam() ? 7411 : 7401;
  open(c, l, port, "--send 500", &peer);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(c.h->rx_adj_ns, 2500);
  const void* data = nullptr;
  uint64_t t = 0;
  int len = 0;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while ((len = zorvsock_tcp_zc_receive(c.h, &data, &t)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
  }
  ASSERT_GT(len, 0);
  const uint8_t* slot = nullptr;
  vyxtcp::tcp_walk_ring(c.h->tcp, [&](const vyxtcp::tcp_ring_slot& rs) {
    if (rs.ok && rs.seg.payload == data) slot = rs.slot;
    return slot == nullptr;
  });
  ASSERT_NE(slot, nullptr) << "the data lies in a slot of the ring";
  EXPECT_EQ(t, kvel::card_time_to_ns(kvel::rx_dma_ring::slot_time(slot)) - 2500);
  EXPECT_LT(std::llabs(int64_t(t) - zt::host_ns()), 1000000000);
  zorvsock_tcp_zc_receive_done(c.h);
  EXPECT_EQ(zorvsock_tcp_disconnect(c.h), 0);
  peer->report();
}

INSTANTIATE_TEST_SUITE_P(opens, TcpTimestamps, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& i) {
                           return i.param ? "Passive" : "Active";
                         });

}  // namespace
