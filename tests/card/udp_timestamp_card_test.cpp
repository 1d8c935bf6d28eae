// Time stamps of a UDP session on the card: stamped sends get consecutive ids and the
// card's TX time plus the interface's TX correction; a log entry reads as reused once
// the log has wrapped past it; receive times are the card's RX time minus the RX
// correction, and the card's clock orders a send before the echo it caused.
#include <gtest/gtest.h>

#include <string>

#include "fiber_fixture.h"
#include "timestamp_fixture.h"
#include "udp_fixture.h"
#include "zorvsock_handle.h"

namespace {

using std::chrono::milliseconds;

constexpr int LOG_ENTRIES = 16384;

uint64_t logged_ns(zorvsock_handle* h, uint64_t id) {
  const kvel::tx_timestamp_log& log = h->udp.ts_log_;
  return kvel::card_time_to_ns(log.entries_[id & log.mask_].time);
}

class UdpTimestamps : public testing::Test {
 protected:
  void SetUp() override { ZT_REQUIRE_UDP(); }
  void TearDown() override { zt::remove_ts_config("kvel0"); }
  zorvsock_handle* stamped_flow(uint16_t dport) {
    zorvsock_handle* h = zorvsock_acquire_handle();
    EXPECT_EQ(zorvsock_enable_tx_timestamping(h, LOG_ENTRIES), 0);
    EXPECT_EQ(zorvsock_udp_configure(h, "kvel0", 0, zt::PEER_IP, dport), 0);
    return h;
  }
};

TEST_F(UdpTimestamps, StampedSendsGetIdsAndCorrectedCardTimes) {
  zt::write_ts_config("kvel0", "ts_tx_internal_adjustment_ps=3000000\n");
  zorvsock_handle* h = stamped_flow(5600);
  EXPECT_EQ(h->tx_adj_ns, 3000);
  ASSERT_NE(h->udp.ts_log_.entries_, nullptr);
  uint64_t ids[3] = {9, 9, 9};
  const std::string p = zt::library_pattern(50);
  const int64_t before = zt::host_ns();
  ASSERT_EQ(zt::send_retrying(h, p.data(), 50, &ids[0]), 0);
  ASSERT_EQ(zt::send_retrying(h, p.data(), 50, &ids[1]), 0);
  ASSERT_EQ(zt::send_retrying(h, p.data(), 50), 0);  // takes no id
  ASSERT_EQ(zt::send_retrying(h, p.data(), 50, &ids[2]), 0);
  EXPECT_EQ(ids[0], 0u);
  EXPECT_EQ(ids[1], 1u);
  EXPECT_EQ(ids[2], 2u);
  uint64_t last = 0;
  for (uint64_t id : ids) {
    const uint64_t t = zt::wait_stamp(h, id);
    ASSERT_GT(t, 2u) << "send " << id << " is logged";
    EXPECT_EQ(t, logged_ns(h, id) + 3000) << "card time plus the TX correction";
    EXPECT_GE(t, last);
    EXPECT_LT(std::llabs(int64_t(t) - before), 1000000000) << "the card's clock is the host's";
    last = t;
  }
  EXPECT_EQ(zorvsock_get_tx_timestamp(h, 3), 0u) << "not sent yet";
  zorvsock_release_handle(h);
}

TEST_F(UdpTimestamps, EntryReadsAsReusedOnceTheLogWrapped) {
  zorvsock_handle* h = stamped_flow(5601);
  const uint64_t total = LOG_ENTRIES + 8;
  uint64_t id = 0;
  for (uint64_t i = 0; i < total; ++i) ASSERT_EQ(zt::send_retrying(h, nullptr, 0, &id), 0) << i;
  ASSERT_EQ(id, total - 1);
  ASSERT_GT(zt::wait_stamp(h, total - 1), 2u);
  EXPECT_EQ(zorvsock_get_tx_timestamp(h, 5), 1u) << "entry 5 now holds send 16389";
  EXPECT_GT(zorvsock_get_tx_timestamp(h, LOG_ENTRIES + 5), 2u);
  EXPECT_GT(zorvsock_get_tx_timestamp(h, 8), 2u) << "entries past the last send keep theirs";
  EXPECT_EQ(zorvsock_get_tx_timestamp(h, total), 0u);
  zorvsock_release_handle(h);
}

TEST_F(UdpTimestamps, ReceiveTimeIsCardTimeMinusTheRxCorrection) {
  zt::write_ts_config("kvel0", "ts_rx_internal_adjustment_ps = 2000000\n"
                               "ts_rx_external_adjustment_ps=500000\n");
  zorvsock_handle* h = zt::udp_flow("kvel0", 5602, zt::PEER_IP, 5603);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->rx_adj_ns, 2500);
  const void* data = &data;
  uint64_t t = 0;
  EXPECT_EQ(zorvsock_udp_zc_receive(h, &data, &t), -11);
  EXPECT_EQ(t, uint64_t(-2500));
  zt::peer_job peer("send 198.18.0.1 5602 1 --sizes 30 --sport 5603");
  peer.report();
  ASSERT_EQ(zt::receive_within(h, &data, &t, nullptr, nullptr, nullptr, nullptr,
                               milliseconds(2000)),
            30);
  const uint8_t* slot = h->udp.rx_dma_.current_slot();
  const uint64_t card = kvel::card_time_to_ns(kvel::rx_dma_ring::slot_time(slot));
  EXPECT_EQ(t, card - 2500);
  EXPECT_LT(std::llabs(int64_t(t) - zt::host_ns()), 1000000000);
  zorvsock_release_handle(h);
}

TEST_F(UdpTimestamps, SendIsStampedBeforeItsEchoArrives) {
  zt::peer_job echo("echo 5604 1 --idle 5 --ready {ready}");
  ASSERT_TRUE(echo.wait_ready());
  zorvsock_handle* h = stamped_flow(5604);
  const std::string p = zt::library_pattern(64);
  uint64_t id = 0;
  ASSERT_EQ(zt::send_retrying(h, p.data(), 64, &id), 0);
  const void* data;
  uint64_t rx = 0;
  ASSERT_EQ(zt::receive_within(h, &data, &rx, nullptr, nullptr, nullptr, nullptr,
                               milliseconds(3000)),
            64);
  EXPECT_EQ(std::string(static_cast<const char*>(data), 64), p);
  const uint64_t tx = zt::wait_stamp(h, id);
  ASSERT_GT(tx, 2u);
  EXPECT_LT(tx, rx);
  EXPECT_LT(rx - tx, 1000000000u);
  echo.report();
  zorvsock_release_handle(h);
}

}  // namespace
