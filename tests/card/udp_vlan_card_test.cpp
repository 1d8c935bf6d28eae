// A session on a VLAN sub-interface (kvel0.<id>) tags its frames with the id of its
// VLAN slot and receives only its VLAN. This kernel has no 802.1Q interfaces: a macvlan
// named kvel0.100 stands in for the sub-interface (its own address, routes and
// neighbours, as the library reads them), the test fills the card's VLAN table, and the
// peer sees and sends tags with raw sockets on wire0.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "fiber_fixture.h"
#include "text_util.h"
#include "udp_fixture.h"
#include "zorvsock_handle.h"

namespace {

using std::chrono::milliseconds;

constexpr uint32_t VLAN_IP = zt::ipv4(198, 18, 100, 1);
constexpr uint32_t VLAN_PEER = zt::ipv4(198, 18, 100, 2);

std::string peer_wire_mac() {
  const zt::cmd_result r = zt::peer_run("ip -o link show wire0");
  const size_t at = r.out.find("link/ether ");
  return at == std::string::npos ? "" : r.out.substr(at + 11, 17);
}

bool make_sub_interface(const std::string& name, const std::string& cidr) {
  return zt::run("ip link add link kvel0 name " + name + " type macvlan mode bridge && " +
                 "ip addr add " + cidr + " dev " + name + " && ip link set " + name + " up")
             .status == 0;
}

class UdpVlan : public testing::Test {
 protected:
  static inline bool ready_ = false;
  static inline std::string why_;
  static inline std::string peer_mac_;

  static void SetUpTestSuite() {
    if (!zt::launched()) return;
    if (!make_sub_interface("kvel0.100", "198.18.100.1/24") ||
        !make_sub_interface("kvel0.300", "198.18.130.1/24")) {
      why_ = "no macvlan interfaces here to stand in for kvel0.100";
      return;
    }
    const std::string mac = peer_wire_mac();
    zt::run("ip neigh replace 198.18.100.2 lladdr " + mac + " dev kvel0.100 nud permanent");
    // VLAN 200 in slot 1 and VLAN 100 in slot 3: the session must find its own slot.
    zt::fiber_set(0, 16, uint64_t(200) << 32 | zt::ipv4(198, 18, 200, 1));
    zt::fiber_set(0, 18, uint64_t(100) << 32 | VLAN_IP);
    peer_mac_ = mac;
    ready_ = true;
  }
  static void TearDownTestSuite() {
    zt::run("ip link del kvel0.100; ip link del kvel0.300");
  }
  void SetUp() override {
    ZT_REQUIRE_UDP();
    if (!ready_) GTEST_SKIP() << why_;  // the kernel may lack macvlan
    ASSERT_NE(peer_mac_, "") << "cannot read the peer's wire0 MAC";
  }
};

TEST_F(UdpVlan, SessionTakesItsSlotAndTheShorterPayload) {
  zorvsock_handle* h = zt::udp_flow("kvel0.100", 4500, VLAN_PEER, 4501);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->udp.vlan_slot_, 3);
  EXPECT_EQ(h->udp.tx_desc_.vlan_slot, 3);
  EXPECT_EQ(h->udp.tx_desc_.src_ip, VLAN_IP);
  EXPECT_EQ(h->udp.max_payload(), 1468);
  const std::string big = zt::library_pattern(1469);
  EXPECT_EQ(zorvsock_udp_send(h, big.data(), 1469, nullptr), -90);
  uint32_t local = 0;
  int len4 = 4;
  EXPECT_EQ(zorvsock_get_opt(h, ZORVSOCK_OPT_LOCAL_IP, &local, &len4), 0);
  EXPECT_EQ(local, VLAN_IP);
  zorvsock_release_handle(h);
}

TEST_F(UdpVlan, FramesCarryTheTag) {
  zt::peer_job peer("recv 4501 3 --raw wire0 --idle 2 --ready {ready}");
  ASSERT_TRUE(peer.wait_ready());
  zorvsock_handle* h = zt::udp_flow("kvel0.100", 4500, VLAN_PEER, 4501);
  ASSERT_NE(h, nullptr);
  for (int len : {0, 1, 1468}) {
    const std::string p = zt::library_pattern(len);
    ASSERT_EQ(zt::send_retrying(h, p.data(), len), 0) << len;
  }
  auto r = peer.report();
  EXPECT_EQ(r["received"], "0") << "the peer has no VLAN interface: tagged frames stay raw";
  EXPECT_EQ(r["frames"], "3");
  EXPECT_EQ(r["vlan"], "100");
  EXPECT_EQ(r["dst_mac"], r["own_mac"]);
  EXPECT_EQ(r["bad_ip_csum"], "0");
  EXPECT_EQ(r["bad_udp_csum"], "0");
  EXPECT_EQ(r["bad_frame_payload"], "0");
  zorvsock_release_handle(h);
}

TEST_F(UdpVlan, ReceivesOnlyItsVlan) {
  zorvsock_handle* h = zt::udp_flow("kvel0.100", 4500, VLAN_PEER, 4501);
  ASSERT_NE(h, nullptr);
  uint8_t mac[6];
  ASSERT_EQ(kvel::get_if_mac("kvel0", mac), 0);
  const std::string to_card = "rawsend wire0 " + kvel::mac_to_string(mac) +
                              " 198.18.100.2 4501 198.18.100.1 4500 ";
  for (const char* vlan_count : {"200 4 64", "0 4 64", "100 6 64"}) {
    zt::peer_job peer(to_card + vlan_count);
    peer.report();
  }
  int got = 0;
  const void* data;
  uint32_t sip = 0, dip = 0, seq = 0;
  uint16_t sport = 0, dport = 0;
  int len;
  while ((len = zt::receive_within(h, &data, nullptr, &sip, &sport, &dip, &dport,
                                   milliseconds(1000))) > 0) {
    EXPECT_TRUE(zt::is_peer_payload(data, len, &seq));
    EXPECT_EQ(seq, uint32_t(got)) << "in order";
    EXPECT_EQ(sip, VLAN_PEER);
    EXPECT_EQ(sport, 4501);
    EXPECT_EQ(dip, VLAN_IP);
    EXPECT_EQ(dport, 4500);
    ++got;
    zorvsock_udp_zc_receive_done(h);
  }
  EXPECT_EQ(got, 6) << "only the frames of VLAN 100";
  zorvsock_release_handle(h);
}

TEST_F(UdpVlan, VlanMissingFromTheTableFailsAndTheHandleStaysFresh) {
  const int fds = zt::open_fd_count();
  zorvsock_handle* h = zorvsock_acquire_handle();
  testing::internal::CaptureStdout();
  EXPECT_EQ(zorvsock_udp_configure(h, "kvel0.300", 4502, 0, 0), -1);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("zorvudp_v2:init():"), std::string::npos) << out;
  EXPECT_NE(out.find("Allocating VLAN session failed"), std::string::npos) << out;
  EXPECT_EQ(h->kind, HANDLE_NONE);
  // A later set-up on the same handle gives back what the failed one had opened.
  EXPECT_EQ(zorvsock_udp_configure(h, "kvel0.100", 4502, 0, 0), 0);
  EXPECT_EQ(zt::open_fd_count(), fds + 1) << "the new session's descriptor only";
  zorvsock_release_handle(h);
  EXPECT_EQ(zt::open_fd_count(), fds);
}

}  // namespace
