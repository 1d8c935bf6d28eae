// Multicast on the card: a session joins its group on the card's Linux interface (the
// kernel reports the membership until release), receives the group's datagrams and sends
// to the group with the multicast TTL and the group's MAC; the mask filter takes every
// group under its mask and no other.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>

#include "udp_fixture.h"
#include "zorvsock_handle.h"

namespace {

using std::chrono::milliseconds;

constexpr uint32_t GROUP = zt::ipv4(239, 1, 2, 3);

// True when /proc/net/igmp lists `group` on device `dev`.
bool igmp_member(const std::string& dev, uint32_t group) {
  char hex[9];
  snprintf(hex, sizeof hex, "%08X", __builtin_bswap32(group));  // the group's bytes as read
  std::ifstream in("/proc/net/igmp");
  std::string line, current;
  while (std::getline(in, line)) {
    if (!line.empty() && isdigit(static_cast<unsigned char>(line[0]))) {
      char name[32] = {};
      sscanf(line.c_str(), "%*d %31s", name);
      current = name;
    } else if (current == dev && line.find(hex) != std::string::npos) {
      return true;
    }
  }
  return false;
}

std::string peer_send_to(const std::string& group, uint16_t port, int count) {
  return "send " + group + " " + std::to_string(port) + " " + std::to_string(count) +
         " --sizes 40 --mcast-if 198.18.0.2";
}

// Datagrams of the session until none comes for a while, by destination address.
std::multiset<uint32_t> received_by_destination(zorvsock_handle* h, uint16_t* port) {
  std::multiset<uint32_t> got;
  const void* data;
  uint32_t dst = 0, seq = 0;
  int len;
  while ((len = zt::receive_within(h, &data, nullptr, nullptr, nullptr, &dst, port,
                                   milliseconds(1000))) > 0) {
    EXPECT_TRUE(zt::is_peer_payload(data, len, &seq));
    got.insert(dst);
    zorvsock_udp_zc_receive_done(h);
  }
  return got;
}

TEST(UdpMulticast, JoinsReceivesAndLeavesAtRelease) {
  ZT_REQUIRE_UDP();
  ASSERT_FALSE(igmp_member("kvel0", GROUP));
  zorvsock_handle* h = zorvsock_acquire_handle();
  ASSERT_EQ(zorvsock_udp_configure_multicast(h, "kvel0", 4300, GROUP, 4300, GROUP), 0);
  EXPECT_GE(h->mcast_fd, 0);
  EXPECT_TRUE(igmp_member("kvel0", GROUP)) << "the kernel interface is a member";
  zt::peer_job peer(peer_send_to("239.1.2.3", 4300, 20));
  peer.report();
  uint16_t port = 0;
  const auto got = received_by_destination(h, &port);
  EXPECT_EQ(got.size(), 20u);
  EXPECT_EQ(got.count(GROUP), 20u) << "the destination is the group";
  EXPECT_EQ(port, 4300);
  zorvsock_release_handle(h);
  EXPECT_FALSE(igmp_member("kvel0", GROUP)) << "release leaves the group";
}

TEST(UdpMulticast, SendsWithTheMulticastTtlAndTheGroupMac) {
  ZT_REQUIRE_UDP();
  zt::peer_job peer(
      "recv 4301 3 --group 239.1.2.3 --ifaddr 198.18.0.2 --raw wire0 --ready {ready}");
  ASSERT_TRUE(peer.wait_ready());
  zorvsock_handle* h = zorvsock_acquire_handle();
  ASSERT_EQ(zorvsock_udp_configure_multicast(h, "kvel0", 4302, GROUP, 4301, GROUP), 0);
  const std::string p = zt::library_pattern(100);
  ASSERT_EQ(zt::send_retrying(h, p.data(), 100), 0);
  uint8_t unicast_ttl = 50, mttl = 4;
  ASSERT_EQ(zorvsock_set_opt(h, ZORVSOCK_OPT_TTL, &unicast_ttl, 1), 0);
  ASSERT_EQ(zt::send_retrying(h, p.data(), 100), 0) << "the unicast TTL does not apply";
  ASSERT_EQ(zorvsock_set_opt(h, ZORVSOCK_OPT_MULTICAST_TTL, &mttl, 1), 0);
  ASSERT_EQ(zt::send_retrying(h, p.data(), 100), 0);
  auto r = peer.report();
  EXPECT_EQ(r["received"], "3");
  EXPECT_EQ(r["bad_payload"], "0");
  EXPECT_EQ(r["ttl"], "1 4");
  EXPECT_EQ(r["dst_mac"], "01:00:5E:01:02:03");
  EXPECT_EQ(r["bad_udp_csum"], "0");
  EXPECT_EQ(r["source"], "198.18.0.1:4302");
  zorvsock_release_handle(h);
}

TEST(UdpMulticast, PlainFlowToAGroupTakesTheMulticastTtl) {
  ZT_REQUIRE_UDP();
  zt::peer_job peer("recv 4303 1 --group 239.1.2.3 --ifaddr 198.18.0.2 --ready {ready}");
  ASSERT_TRUE(peer.wait_ready());
  zorvsock_handle* h = zorvsock_acquire_handle();
  uint8_t mttl = 3;
  ASSERT_EQ(zorvsock_set_opt(h, ZORVSOCK_OPT_MULTICAST_TTL, &mttl, 1), 0);
  ASSERT_EQ(zorvsock_udp_configure(h, "kvel0", 0, GROUP, 4303), 0);
  const std::string p = zt::library_pattern(10);
  ASSERT_EQ(zt::send_retrying(h, p.data(), 10), 0);
  auto r = peer.report();
  EXPECT_EQ(r["received"], "1");
  EXPECT_EQ(r["ttl"], "3");
  zorvsock_release_handle(h);
}

TEST(UdpMulticast, DisabledMembershipLeavesTheKernelAlone) {
  ZT_REQUIRE_UDP();
  zorvsock_handle* h = zorvsock_acquire_handle();
  EXPECT_EQ(zorvsock_disable_multicast(h), 0);
  ASSERT_EQ(zorvsock_udp_configure_multicast(h, "kvel0", 4304, 0, 0, GROUP), 0);
  EXPECT_EQ(h->mcast_fd, -2);
  EXPECT_FALSE(igmp_member("kvel0", GROUP));
  zt::peer_job peer(peer_send_to("239.1.2.3", 4304, 5));
  peer.report();
  uint16_t port = 0;
  EXPECT_EQ(received_by_destination(h, &port).count(GROUP), 5u)
      << "the card filter still takes them";
  zorvsock_release_handle(h);
}

TEST(UdpMulticast, GroupZeroIsRefusedAfterSetUp) {
  ZT_REQUIRE_UDP();
  zorvsock_handle* h = zorvsock_acquire_handle();
  EXPECT_EQ(zorvsock_udp_configure_multicast(h, "kvel0", 4305, 0, 0, 0), -22);
  EXPECT_EQ(h->kind, HANDLE_UDP) << "the session stays, without a filter, for release";
  EXPECT_EQ(zorvsock_udp_configure_multicast(h, "kvel0", 4305, 0, 0, GROUP), -106);
  zorvsock_release_handle(h);
}

TEST(UdpMulticast, MaskFilterTakesEveryGroupUnderTheMask) {
  ZT_REQUIRE_UDP();
  zorvsock_handle* h = zorvsock_acquire_handle();
  EXPECT_EQ(zorvsock_udp_configure_rx_multicast_mask(h, "kvel0", zt::ipv4(239, 1, 0, 0),
                                                     0xFFFFFFFF),
            -22);
  EXPECT_EQ(zorvsock_udp_configure_rx_multicast_mask(h, "kvel0", zt::ipv4(239, 1, 0, 0),
                                                     zt::ipv4(255, 255, 0, 0)),
            -106);
  zorvsock_release_handle(h);
  h = zorvsock_acquire_handle();
  ASSERT_EQ(zorvsock_udp_configure_rx_multicast_mask(h, "kvel0", zt::ipv4(239, 1, 0, 0),
                                                     zt::ipv4(255, 255, 0, 0)),
            0);
  EXPECT_EQ(h->mcast_fd, -1) << "no kernel membership";
  EXPECT_EQ(h->reserve_fd, -1) << "no port reserved";
  for (const char* group : {"239.1.7.7", "239.2.0.1", "239.1.200.1"}) {
    zt::peer_job peer(peer_send_to(group, 4400, 5));
    peer.report();
  }
  zt::peer_job other_port(peer_send_to("239.1.7.7", 4401, 5));
  other_port.report();
  uint16_t port = 0;
  const auto got = received_by_destination(h, &port);
  EXPECT_EQ(got.count(zt::ipv4(239, 1, 7, 7)), 10u) << "any port";
  EXPECT_EQ(got.count(zt::ipv4(239, 1, 200, 1)), 5u);
  EXPECT_EQ(got.count(zt::ipv4(239, 2, 0, 1)), 0u) << "outside the mask";
  EXPECT_EQ(zorvsock_udp_configure_rx_multicast_mask(h, "kvel0", 0, 0), -106);
  zorvsock_release_handle(h);
  h = zorvsock_acquire_handle();
  EXPECT_EQ(zorvsock_udp_configure_rx_multicast_mask(h, "kvel0", 0, zt::ipv4(255, 0, 0, 0)), -22);
  zorvsock_release_handle(h);
}

}  // namespace
