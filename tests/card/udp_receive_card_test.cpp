// Datagrams from a Linux UDP socket in the peer reach the session's ring in order,
// intact, with their source and destination; the ring wraps many times under a long
// stream, and a full ring drops and counts but never corrupts. A session without a
// destination answers the datagram last received; a retarget moves the local port.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "session_ref.h"
#include "udp_fixture.h"
#include "zorvsock_handle.h"

namespace {

using std::chrono::milliseconds;

constexpr uint16_t LPORT = 4200;
constexpr uint16_t PEER_SPORT = 5200;

std::string peer_send(int count, const std::string& sizes, uint16_t dport = LPORT,
                      const std::string& extra = "") {
  return "send 198.18.0.1 " + std::to_string(dport) + " " + std::to_string(count) +
         " --sizes " + sizes + " --sport " + std::to_string(PEER_SPORT) + " " + extra;
}

struct stream_check {
  int received = 0;
  int out_of_order = 0;
  int corrupt = 0;
  int wrong_address = 0;
  int laps = 0;
  uint32_t last_seq = 0;
};

// A peer's python3 can take seconds to start on a loaded machine.
constexpr milliseconds FIRST_DATAGRAM_WAIT{20000};

uint64_t dropped(zorvsock_handle* h) {
  return kvel::mmio_read64(h->udp.reg_, kvel::SESSION_REG_RX_DROPPED);
}

// Takes every datagram that arrives until `expect` have been taken or dropped by the
// ring from now on, or none has come for `idle` (the first may take its sender's
// start-up). The idle limit is generous: a busy machine may hold the peer's python3 up
// for seconds.
stream_check drain(zorvsock_handle* h, int expect, milliseconds idle = milliseconds(15000)) {
  stream_check c;
  int last_line = 0;
  const uint64_t dropped_before = dropped(h);
  while (uint64_t(c.received) + dropped(h) - dropped_before < uint64_t(expect)) {
    const void* data;
    uint32_t sip = 0, dip = 0, seq = 0;
    uint16_t sport = 0, dport = 0;
    const int line = h->udp.rx_dma_.rdptr_;
    const milliseconds wait = c.received == 0 ? std::max(idle, FIRST_DATAGRAM_WAIT) : idle;
    const int len = zt::receive_within(h, &data, nullptr, &sip, &sport, &dip, &dport, wait);
    if (len < 0) break;
    if (line < last_line) ++c.laps;
    last_line = line;
    if (!zt::is_peer_payload(data, len, &seq)) ++c.corrupt;
    if (c.received > 0 && seq <= c.last_seq) ++c.out_of_order;
    if (sip != zt::PEER_IP || sport != PEER_SPORT || dip != zt::HOST_IP || dport != LPORT)
      ++c.wrong_address;
    c.last_seq = seq;
    ++c.received;
    EXPECT_EQ(zorvsock_udp_zc_receive_done(h), 0);
  }
  return c;
}

void expect_intact(const stream_check& c) {
  EXPECT_EQ(c.corrupt, 0);
  EXPECT_EQ(c.out_of_order, 0);
  EXPECT_EQ(c.wrong_address, 0);
}

// A flow whose ring is 256 KiB: 1024 slots of small datagrams.
zorvsock_handle* small_ring_flow() {
  zorvsock_handle* h = zorvsock_acquire_handle();
  const int units = 128;
  EXPECT_EQ(zorvsock_set_opt(h, ZORVSOCK_OPT_RX_BUFFER, &units, 4), 0);
  EXPECT_EQ(zorvsock_udp_configure(h, "kvel0", LPORT, zt::PEER_IP, PEER_SPORT), 0);
  EXPECT_EQ(h->udp.rx_dma_.size_, 256 << 10);
  return h;
}


TEST(UdpReceive, EverySizeInOrderWithItsAddresses) {
  ZT_REQUIRE_UDP();
  zorvsock_handle* h = zt::udp_flow("kvel0", LPORT, zt::PEER_IP, PEER_SPORT);
  ASSERT_NE(h, nullptr);
  std::string sizes;
  for (int s = 4; s <= 1472; ++s) sizes += (sizes.empty() ? "" : ",") + std::to_string(s);
  zt::peer_job peer(peer_send(1469, sizes, LPORT, "--pace 16"));
  const stream_check c = drain(h, 1469);
  peer.report();
  EXPECT_EQ(c.received, 1469);
  expect_intact(c);
  EXPECT_EQ(dropped(h), 0u);
  zorvsock_release_handle(h);
}

TEST(UdpReceive, LongStreamWrapsTheRingManyTimes) {
  ZT_REQUIRE_UDP();
  zorvsock_handle* h = small_ring_flow();
  zt::peer_job peer(peer_send(20000, "16,200,700,1472", LPORT, "--pace 64"));
  const stream_check c = drain(h, 20000);
  peer.report();
  EXPECT_GT(c.laps, 10);
  expect_intact(c);
  // The reader keeps up with the python sender: what the ring dropped is counted.
  EXPECT_EQ(uint64_t(c.received) + dropped(h), 20000u);
  zorvsock_release_handle(h);
}

TEST(UdpReceive, FullRingDropsAndCountsWithoutCorruption) {
  ZT_REQUIRE_UDP();
  zorvsock_handle* h = small_ring_flow();
  // Nobody reads while the peer sends three times what the ring holds.
  zt::peer_job peer(peer_send(3000, "64", LPORT, "--pace 64"));
  peer.report();
  std::this_thread::sleep_for(milliseconds(300));
  const uint64_t lost = dropped(h);
  const stream_check c = drain(h, int(3000 - lost));
  EXPECT_GT(lost, 0u);
  EXPECT_GT(c.received, 500);
  EXPECT_EQ(uint64_t(c.received) + lost, 3000u);
  expect_intact(c);
  // The ring works on after the overflow.
  zt::peer_job more(peer_send(100, "64"));
  more.report();
  const stream_check after = drain(h, 100);
  EXPECT_EQ(after.received, 100);
  EXPECT_EQ(after.corrupt, 0);
  zorvsock_release_handle(h);
}

TEST(UdpReceive, WithoutDestinationTheLastSenderIsAnswered) {
  ZT_REQUIRE_UDP();
  zorvsock_handle* h = zt::udp_flow("kvel0", LPORT, 0, 0);
  ASSERT_NE(h, nullptr);
  const std::string p = zt::library_pattern(20);
  EXPECT_EQ(zorvsock_udp_send(h, p.data(), 20, nullptr), -107) << "nobody to answer yet";
  // The peer's client waits for its datagram to come back to the port it sent from.
  zt::peer_job client("client 198.18.0.1 " + std::to_string(LPORT) + " 1 24");
  const void* data;
  uint32_t sip = 0;
  uint16_t sport = 0;
  const int len = zt::receive_within(h, &data, nullptr, &sip, &sport, nullptr, nullptr,
                                     FIRST_DATAGRAM_WAIT);
  ASSERT_EQ(len, 24);
  const std::string echo(static_cast<const char*>(data), size_t(len));
  EXPECT_EQ(sip, zt::PEER_IP);
  EXPECT_EQ(zorvsock_udp_zc_receive_done(h), 0);
  EXPECT_EQ(zorvsock_udp_send(h, echo.data(), len, nullptr), -107) << "adopts, sends nothing";
  uint32_t dst = 0;
  int len4 = 4;
  EXPECT_EQ(zorvsock_get_opt(h, ZORVSOCK_OPT_UDP_REMOTE_IP, &dst, &len4), 0);
  EXPECT_EQ(dst, zt::PEER_IP);
  EXPECT_EQ(zt::send_retrying(h, echo.data(), len), 0);
  uint16_t dport = 0;
  int len2 = 2;
  EXPECT_EQ(zorvsock_get_opt(h, ZORVSOCK_OPT_UDP_REMOTE_PORT, &dport, &len2), 0);
  EXPECT_EQ(dport, sport) << "the sender's port";
  client.report();  // the client fails unless its datagram came back intact
  EXPECT_NE(client.result.out.find("seq 0: 24 bytes intact"), std::string::npos)
      << client.result.out;
  zorvsock_release_handle(h);
}

TEST(UdpReceive, AddressWithoutPortAnswersAtTheSendersPort) {
  ZT_REQUIRE_UDP();
  // The destination address is resolved although the port comes later, from the sender.
  zorvsock_handle* h = zt::udp_flow("kvel0", LPORT, zt::PEER_IP, 0);
  ASSERT_NE(h, nullptr);
  zt::peer_job client("client 198.18.0.1 " + std::to_string(LPORT) + " 1 16");
  const void* data;
  const int len = zt::receive_within(h, &data, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     FIRST_DATAGRAM_WAIT);
  ASSERT_EQ(len, 16);
  const std::string echo(static_cast<const char*>(data), size_t(len));
  EXPECT_EQ(zorvsock_udp_zc_receive_done(h), 0);
  EXPECT_EQ(zt::send_retrying(h, echo.data(), len), 0) << "the first send goes out";
  client.report();
  EXPECT_NE(client.result.out.find("seq 0: 16 bytes intact"), std::string::npos)
      << client.result.out;
  zorvsock_release_handle(h);
}

TEST(UdpReceive, NoPortToReserveIsAnError) {
  ZT_REQUIRE_UDP();
  ASSERT_EQ(zt::run("sysctl -q -w net.ipv4.ip_local_port_range='40000 40000'").status, 0);
  zorvsock_handle* first = zt::udp_flow("kvel0", 0, 0, 0);
  zorvsock_handle* second = zorvsock_acquire_handle();
  const int rc = zorvsock_udp_configure(second, "kvel0", 0, 0, 0);
  zt::run("sysctl -q -w net.ipv4.ip_local_port_range='32768 60999'");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->udp.local_port_, 40000);
  EXPECT_LT(rc, 0) << "a session on port 0 would take every datagram to the address";
  EXPECT_EQ(second->udp.local_port_, 0);
  zorvsock_release_handle(second);
  zorvsock_release_handle(first);
}

TEST(UdpReceive, RetargetToANewLocalPortMovesTheFilter) {
  ZT_REQUIRE_UDP();
  zorvsock_handle* h = zt::udp_flow("kvel0", LPORT, zt::PEER_IP, PEER_SPORT);
  ASSERT_NE(h, nullptr);
  testing::internal::CaptureStdout();
  EXPECT_EQ(zorvsock_udp_configure(h, "kvel0", LPORT + 1, zt::PEER_IP, PEER_SPORT), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "HERE1\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(zorvsock_udp_configure(h, "kvel0", 0, zt::PEER_IP, PEER_SPORT), 0);
  EXPECT_EQ(zorvsock_udp_configure(h, "kvel0", LPORT + 1, zt::PEER_IP, PEER_SPORT), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "the same port, or 0, keeps the filter";
  zt::peer_job old_port(peer_send(5, "32", LPORT));
  old_port.report();
  zt::peer_job new_port(peer_send(7, "32", uint16_t(LPORT + 1)));
  new_port.report();
  int got = 0;
  const void* data;
  uint16_t dport = 0;
  while (zt::receive_within(h, &data, nullptr, nullptr, nullptr, nullptr, &dport,
                            milliseconds(1000)) > 0) {
    EXPECT_EQ(dport, LPORT + 1);
    ++got;
    zorvsock_udp_zc_receive_done(h);
  }
  EXPECT_EQ(got, 7);
  zorvsock_release_handle(h);
}

TEST(UdpReceive, DestinationWithoutNeighbourIsReported) {
  ZT_REQUIRE_UDP();
  zorvsock_handle* h = zorvsock_acquire_handle();
  // Nobody answers ARP for 198.18.0.77 on the wire: about half a second of lookups.
  EXPECT_EQ(zorvsock_udp_configure(h, "kvel0", LPORT, zt::ipv4(198, 18, 0, 77), 5000), -113);
  int kind_len = 4;
  uint32_t dst = 0;
  EXPECT_EQ(zorvsock_get_opt(h, ZORVSOCK_OPT_UDP_REMOTE_IP, &dst, &kind_len), 0)
      << "the handle is a UDP session all the same";
  // No route at all off the subnet.
  EXPECT_EQ(zorvsock_udp_configure(h, "kvel0", 0, zt::ipv4(203, 0, 113, 9), 5000), -113)
      << "a retarget reports it too";
  EXPECT_EQ(zorvsock_udp_configure(h, "kvel0", 0, zt::PEER_IP, 5000), 0);
  zorvsock_release_handle(h);
}

}  // namespace
