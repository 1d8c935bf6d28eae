// UDP handles on the card from set-up to release: release gives back every descriptor,
// mapping and thread (the VYX_DEBUG status thread included); bad interfaces, a second
// set-up, the data path on a fresh handle and a done call without a receive fail with
// a clear error, lose nothing and hang nowhere; options of a UDP session.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "fiber_fixture.h"
#include "process_resources.h"
#include "udp_fixture.h"
#include "zorvsock_handle.h"

namespace {

using std::chrono::milliseconds;

using zt::dir_entries;
using zt::process_resources;

class UdpLifecycle : public testing::Test {
 protected:
  void SetUp() override { ZT_REQUIRE_UDP(); }
};

TEST_F(UdpLifecycle, ReleaseGivesBackEverything) {
  process_resources before;
  for (int i = 0; i < 10; ++i) {
    zorvsock_handle* h = zorvsock_acquire_handle();
    ASSERT_EQ(zorvsock_enable_tx_timestamping(h, 16384), 0);
    ASSERT_EQ(zorvsock_udp_configure_multicast(h, "kvel0", 0, zt::ipv4(239, 9, 9, 9), 4700,
                                               zt::ipv4(239, 9, 9, 9)),
              0);
    EXPECT_GE(h->reserve_fd, 0);
    EXPECT_GE(h->mcast_fd, 0);
    uint64_t id;
    ASSERT_EQ(zt::send_retrying(h, "x", 1, &id), 0);
    zorvsock_release_handle(h);
  }
  zt::expect_same_resources(before);
}

TEST_F(UdpLifecycle, StatusThreadRunsWithVyxDebugAndEndsAtRelease) {
  const size_t threads = dir_entries("/proc/self/task").size();
  setenv("VYX_DEBUG", "1", 1);
  zorvsock_handle* h = zorvsock_acquire_handle();
  const int rc = zorvsock_udp_configure(h, "kvel0", 4701, zt::PEER_IP, 4702);
  unsetenv("VYX_DEBUG");
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(dir_entries("/proc/self/task").size(), threads + 1);
  testing::internal::CaptureStdout();
  std::this_thread::sleep_for(milliseconds(1300));
  const auto t0 = std::chrono::steady_clock::now();
  zorvsock_release_handle(h);
  const auto release_took = std::chrono::steady_clock::now() - t0;
  std::this_thread::sleep_for(milliseconds(1200));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("UDP rx_dma_size 65536\n"), std::string::npos) << out;
  EXPECT_NE(out.find("TX: rstatus rdptr="), std::string::npos) << out;
  EXPECT_EQ(out.find("UDP rx_dma_dropped"), out.rfind("UDP rx_dma_dropped"))
      << "one dump in 1.3 s, none after release:\n" << out;
  EXPECT_LT(release_took, milliseconds(1100));
  EXPECT_EQ(dir_entries("/proc/self/task").size(), threads);
}

TEST_F(UdpLifecycle, WithoutVyxDebugNoStatusThread) {
  const size_t threads = dir_entries("/proc/self/task").size();
  zorvsock_handle* h = zt::udp_flow("kvel0", 4703, zt::PEER_IP, 4702);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(dir_entries("/proc/self/task").size(), threads);
  zorvsock_release_handle(h);
}

TEST_F(UdpLifecycle, BadInterfacesFailCleanly) {
  process_resources before;
  zorvsock_handle* h = zorvsock_acquire_handle();
  struct row {
    const char* name;
    const char* message;  // part of what is printed, "" for nothing
  };
  const row rows[] = {{"eth0", ""},
                      {"kvel_1F_0", ""},  // no such device on this card
                      {nullptr, ""},
                      {"kvel7", "zorvudp_v2:init():"},  // the card has no port 7
                      {"kvel7", " Cannot use network interface kvel7\n\n"}};
  for (const row& r : rows) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(zorvsock_udp_configure(h, r.name, 4704, 0, 0), -1) << (r.name ? r.name : "NULL");
    const std::string out = testing::internal::GetCapturedStdout();
    if (*r.message)
      EXPECT_NE(out.find(r.message), std::string::npos) << out;
    else
      EXPECT_EQ(out, "");
    EXPECT_EQ(h->kind, HANDLE_NONE);
  }
  EXPECT_EQ(zorvsock_udp_configure_multicast(h, "eth7", 0, 0, 0, zt::ipv4(239, 1, 1, 1)), -22);
  zorvsock_release_handle(h);
  zt::expect_same_resources(before);
}

// A port without an IPv4 address: a session would send from 0.0.0.0 and take what
// comes to 0.0.0.0. Refused as the TCP connect refuses it, nothing held; once the
// address is back the same handle sets up.
TEST_F(UdpLifecycle, InterfaceWithoutAddressIsRefused) {
  process_resources before;
  zorvsock_handle* h = zorvsock_acquire_handle();
  ASSERT_EQ(zt::run("ip addr flush dev kvel0").status, 0);
  const int rc = zorvsock_udp_configure(h, "kvel0", 4705, zt::PEER_IP, 4706);
  ASSERT_EQ(zt::run("ip addr add 198.18.0.1/24 dev kvel0").status, 0);
  EXPECT_EQ(rc, -22);
  EXPECT_EQ(h->kind, HANDLE_NONE);
  EXPECT_EQ(zorvsock_udp_configure(h, "kvel0", 4705, zt::PEER_IP, 4706), 0);
  zorvsock_release_handle(h);
  zt::expect_same_resources(before);
}

TEST_F(UdpLifecycle, FailedAllocationThenSetUpLosesNothing) {
  // kvel5 names port 5 of the card, which has one port: the driver refuses the session.
  if (zt::run("ip link add link kvel0 name kvel5 type macvlan && "
              "ip addr add 198.18.5.1/24 dev kvel5 && ip link set kvel5 up")
          .status != 0)
    GTEST_SKIP() << "no macvlan interface here to stand in for kvel5";
  process_resources before;
  zorvsock_handle* h = zorvsock_acquire_handle();
  testing::internal::CaptureStdout();
  EXPECT_EQ(zorvsock_udp_configure(h, "kvel5", 4705, 0, 0), -1);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Allocating session failed"), std::string::npos) << out;
  EXPECT_EQ(h->kind, HANDLE_NONE);
  EXPECT_EQ(zorvsock_udp_configure(h, "kvel0", 4705, 0, 0), 0);
  zorvsock_release_handle(h);
  zt::run("ip link del kvel5");
  zt::expect_same_resources(before);
}

TEST_F(UdpLifecycle, SecondSetUpIsRefusedAndAPlainOneRetargets) {
  zorvsock_handle* h = zt::udp_flow("kvel0", 4706, zt::PEER_IP, 4707);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(zorvsock_udp_configure_multicast(h, "kvel0", 4706, 0, 0, zt::ipv4(239, 1, 1, 1)), -106);
  EXPECT_EQ(zorvsock_udp_configure_rx_multicast_mask(h, "kvel0", zt::ipv4(239, 1, 0, 0),
                                                     zt::ipv4(255, 255, 0, 0)),
            -106);
  EXPECT_EQ(zorvsock_udp_configure(h, "kvel0", 0, zt::PEER_IP, 4708), 0);
  uint16_t port = 0;
  int len2 = 2;
  EXPECT_EQ(zorvsock_get_opt(h, ZORVSOCK_OPT_UDP_REMOTE_PORT, &port, &len2), 0);
  EXPECT_EQ(port, 4708);
  zorvsock_release_handle(h);
}

TEST_F(UdpLifecycle, DoneWithoutReceiveKeepsTheDatagram) {
  zorvsock_handle* h = zt::udp_flow("kvel0", 4709, zt::PEER_IP, 4710);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(zorvsock_udp_zc_receive_done(h), -22) << "empty ring";
  zt::peer_job peer("send 198.18.0.1 4709 1 --sizes 12 --sport 4710");
  peer.report();
  // Wait for it without taking it: look at the slot as the card fills it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (kvel::rx_dma_ring::slot_length(h->udp.rx_dma_.current_slot()) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
  }
  EXPECT_EQ(zorvsock_udp_zc_receive_done(h), -22) << "no receive returned it";
  const void* data;
  EXPECT_EQ(zorvsock_udp_zc_receive(h, &data, nullptr), 12) << "still there";
  EXPECT_EQ(zorvsock_udp_zc_receive_done(h), 0);
  zorvsock_release_handle(h);
}

TEST_F(UdpLifecycle, OptionsOfAUdpSession) {
  zorvsock_handle* h = zt::udp_flow("kvel0", 4711, zt::PEER_IP, 4712);
  ASSERT_NE(h, nullptr);
  uint32_t v32 = 0;
  uint16_t v16 = 0;
  uint8_t v8 = 0;
  int len4 = 4, len2 = 2, len1 = 1;
  EXPECT_EQ(zorvsock_get_opt(h, ZORVSOCK_OPT_LOCAL_IP, &v32, &len4), 0);
  EXPECT_EQ(v32, zt::HOST_IP);
  EXPECT_EQ(zorvsock_get_opt(h, ZORVSOCK_OPT_UDP_REMOTE_IP, &v32, &len4), 0);
  EXPECT_EQ(v32, zt::PEER_IP);
  EXPECT_EQ(zorvsock_get_opt(h, ZORVSOCK_OPT_UDP_REMOTE_PORT, &v16, &len2), 0);
  EXPECT_EQ(v16, 4712);
  const int units = 256;
  EXPECT_EQ(zorvsock_set_opt(h, ZORVSOCK_OPT_RX_BUFFER, &units, 4), -114);
  for (uint8_t value : {uint8_t(1), uint8_t(2)}) {
    ASSERT_EQ(zorvsock_set_opt(h, ZORVSOCK_OPT_UDP_SESSION_FLAG, &value, 1), 0);
    EXPECT_EQ(zorvsock_get_opt(h, ZORVSOCK_OPT_UDP_SESSION_FLAG, &v8, &len1), 0);
    EXPECT_EQ(v8, value == 1 ? 1 : 0);
  }
  zorvsock_release_handle(h);
}

}  // namespace
