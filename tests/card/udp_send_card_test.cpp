// Datagrams that the library sends reach a Linux UDP socket in the peer intact, with
// the session's source address and port, the system's default TTL, the right MACs and
// checksums the kernel accepts, for every payload size and with each TX write routine
// this processor can run (chosen by CPUID, DISABLEMOVDIR and DISABLEAVX512 in a child
// process of its own); the TTL follows the options and retargets, and a destination
// that does not resolve gets nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "netinfo.h"
#include "text_util.h"
#include "tx_pio.h"
#include "udp_fixture.h"

namespace {

constexpr uint16_t CHILD_LPORT = 4000;
constexpr uint16_t PEER_PORT = 5000;
constexpr int MAX_PAYLOAD = 1472;

// Run only as the child of EverySizeArrivesIntact, with its environment: disabled in
// the test list, the parent asks for it by name.
TEST(UdpSendChild, DISABLED_EverySize) {
  zorvsock_handle* h = zt::udp_flow("kvel0", CHILD_LPORT, zt::PEER_IP, PEER_PORT);
  ASSERT_NE(h, nullptr);
  for (int len = 0; len <= MAX_PAYLOAD; ++len) {
    const std::string payload = zt::library_pattern(len);
    ASSERT_EQ(zt::send_retrying(h, payload.data(), len), 0) << len;
    if (len % 16 == 15) usleep(200);  // the peer's python reads slower than the card sends
  }
  const std::string big = zt::library_pattern(MAX_PAYLOAD + 1);
  EXPECT_EQ(zorvsock_udp_send(h, big.data(), MAX_PAYLOAD + 1, nullptr), -90);
  EXPECT_TRUE(zt::wait_tx_drained(h));
  zorvsock_release_handle(h);
}

struct routine_case {
  const char* env;
  const char* name;
};

std::string expected_routine(const char* env) {
  kvel::tx_pio probe;
  probe.read_cpu_features();
  const std::string e = env;
  if (probe.has_movdir64b_ && e.rfind("DISABLEMOVDIR=", 0) != 0) return "movdir64b";
  if (probe.has_avx512f_ && e.rfind("DISABLEAVX512=", 0) != 0) return "avx512f";
  return "avx2";
}

std::string self_path() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, size_t(n)) : "";
}

class UdpSend : public testing::TestWithParam<routine_case> {};

TEST_P(UdpSend, EverySizeArrivesIntact) {
  ZT_REQUIRE_UDP();
  // A default TTL other than 64 shows that the library reads the system's.
  ASSERT_EQ(zt::run("sysctl -q -w net.ipv4.ip_default_ttl=77").status, 0);
  const long csum_errors = zt::peer_snmp("Udp", "InCsumErrors");
  zt::peer_job peer("recv " + std::to_string(PEER_PORT) + " 1473 --raw wire0 --ready {ready}");
  ASSERT_TRUE(peer.wait_ready());
  const std::string env = GetParam().env;
  const zt::cmd_result child =
      zt::run(env + " " + self_path() +
              " --gtest_also_run_disabled_tests --gtest_filter=UdpSendChild.DISABLED_EverySize");
  zt::run("sysctl -q -w net.ipv4.ip_default_ttl=64");
  EXPECT_EQ(child.status, 0) << child.out;
  EXPECT_NE(child.out.find("Using CPU feat: " + expected_routine(GetParam().env)),
            std::string::npos)
      << child.out;
  auto r = peer.report();
  uint8_t mac[6] = {};
  ASSERT_EQ(kvel::get_if_mac("kvel0", mac), 0);
  EXPECT_EQ(r["received"], "1473");
  EXPECT_EQ(r["bad_payload"], "0");
  EXPECT_EQ(r["distinct_sizes"], "1473");
  EXPECT_EQ(r["min_size"], "0");
  EXPECT_EQ(r["max_size"], "1472");
  EXPECT_EQ(r["source"], "198.18.0.1:4000");
  EXPECT_EQ(r["ttl"], "77");
  EXPECT_EQ(r["frames"], "1473");
  EXPECT_EQ(r["dst_mac"], r["own_mac"]);
  EXPECT_EQ(r["src_mac"], kvel::mac_to_string(mac));
  EXPECT_EQ(r["vlan"], "0");
  EXPECT_EQ(r["bad_ip_csum"], "0");
  EXPECT_EQ(r["bad_udp_csum"], "0");
  EXPECT_EQ(zt::peer_snmp("Udp", "InCsumErrors"), csum_errors);
  EXPECT_EQ(csum_errors, 0);
}

INSTANTIATE_TEST_SUITE_P(Routines, UdpSend,
                         testing::Values(routine_case{"", "cpuid"},
                                         routine_case{"DISABLEMOVDIR=1", "no_movdir"},
                                         routine_case{"DISABLEAVX512=1", "no_avx512"}),
                         [](const testing::TestParamInfo<routine_case>& i) {
                           return i.param.name;
                         });

TEST(UdpSendTtl, OptionAppliesToTheNextDatagrams) {
  ZT_REQUIRE_UDP();
  zt::peer_job peer("recv 5001 3 --ready {ready}");
  ASSERT_TRUE(peer.wait_ready());
  zorvsock_handle* h = zt::udp_flow("kvel0", 4001, zt::PEER_IP, 5001);
  ASSERT_NE(h, nullptr);
  const std::string p = zt::library_pattern(8);
  uint8_t ttl = 9, mttl = 33;
  ASSERT_EQ(zt::send_retrying(h, p.data(), 8), 0);
  ASSERT_EQ(zorvsock_set_opt(h, ZORVSOCK_OPT_MULTICAST_TTL, &mttl, 1), 0);
  ASSERT_EQ(zt::send_retrying(h, p.data(), 8), 0);  // a unicast flow keeps its TTL
  ASSERT_EQ(zorvsock_set_opt(h, ZORVSOCK_OPT_TTL, &ttl, 1), 0);
  ASSERT_EQ(zt::send_retrying(h, p.data(), 8), 0);
  auto r = peer.report();
  EXPECT_EQ(r["received"], "3");
  EXPECT_EQ(r["ttl"], "9 " + std::to_string(kvel::get_default_ttl()));
  zorvsock_release_handle(h);
}

// A retarget between a unicast and a multicast destination carries the TTL of each on
// the wire: the peer's socket sees the TTL option, its group member the multicast TTL.
TEST(UdpSendTtl, RetargetBetweenUnicastAndMulticastTakesTheTtlOfEach) {
  ZT_REQUIRE_UDP();
  zt::peer_job unicast("recv 5003 2 --ready {ready}");
  zt::peer_job member("recv 5004 1 --group 239.1.2.3 --ifaddr 198.18.0.2 --ready {ready}");
  ASSERT_TRUE(unicast.wait_ready());
  ASSERT_TRUE(member.wait_ready());
  zorvsock_handle* h = zorvsock_acquire_handle();
  const uint8_t ttl = 9, mttl = 33;
  ASSERT_EQ(zorvsock_set_opt(h, ZORVSOCK_OPT_TTL, &ttl, 1), 0);
  ASSERT_EQ(zorvsock_set_opt(h, ZORVSOCK_OPT_MULTICAST_TTL, &mttl, 1), 0);
  struct destination {
    uint32_t ip;
    uint16_t port;
  };
  const destination route[] = {
      {zt::PEER_IP, 5003}, {zt::ipv4(239, 1, 2, 3), 5004}, {zt::PEER_IP, 5003}};
  const std::string p = zt::library_pattern(8);
  for (const destination& d : route) {
    ASSERT_EQ(zorvsock_udp_configure(h, "kvel0", 4003, d.ip, d.port), 0);
    ASSERT_EQ(zt::send_retrying(h, p.data(), 8), 0);
  }
  EXPECT_TRUE(zt::wait_tx_drained(h));
  auto u = unicast.report();
  auto m = member.report();
  EXPECT_EQ(u["received"], "2");
  EXPECT_EQ(u["ttl"], "9") << "back from the group, the unicast TTL again";
  EXPECT_EQ(m["received"], "1");
  EXPECT_EQ(m["ttl"], "33");
  zorvsock_release_handle(h);
}

// A configure whose destination does not resolve leaves a session that sends nothing,
// not even to a MAC of no one: no frame leaves until a retarget resolves a destination.
TEST(UdpSendRoute, UnresolvedDestinationSendsNothingUntilARetargetResolvesOne) {
  ZT_REQUIRE_UDP();
  struct row {
    const char* why;
    uint32_t dst;
  };
  const row rows[] = {{"no route", zt::ipv4(192, 0, 2, 9)},
                      {"no neighbour answers", zt::ipv4(198, 18, 0, 99)}};
  zt::peer_job peer("recv 5005 2 --raw wire0 --ready {ready}");
  ASSERT_TRUE(peer.wait_ready());
  const std::string p = zt::library_pattern(16);
  uint16_t lport = 4005;
  for (const row& r : rows) {
    SCOPED_TRACE(r.why);
    zorvsock_handle* h = zorvsock_acquire_handle();
    EXPECT_EQ(zorvsock_udp_configure(h, "kvel0", lport++, r.dst, 5005), -113);
    EXPECT_EQ(h->kind, HANDLE_UDP);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(zorvsock_udp_send(h, p.data(), 16, nullptr), -89);
    EXPECT_EQ(zorvsock_udp_configure(h, "kvel0", 0, zt::PEER_IP, 5005), 0);
    EXPECT_EQ(zt::send_retrying(h, p.data(), 16), 0);
    EXPECT_TRUE(zt::wait_tx_drained(h));
    zorvsock_release_handle(h);
  }
  auto r = peer.report();
  EXPECT_EQ(r["received"], "2");
  EXPECT_EQ(r["frames"], "2") << "none for the unresolved destinations";
  EXPECT_EQ(r["dst_mac"], r["own_mac"]);
}

TEST(UdpSendRoute, OffSubnetDestinationGoesToTheGatewaysMac) {
  ZT_REQUIRE_UDP();
  ASSERT_EQ(zt::run("ip route replace 203.0.113.0/24 via 198.18.0.2 dev kvel0").status, 0);
  zt::peer_job peer("recv 5002 1 --raw wire0 --idle 1 --ready {ready}");
  ASSERT_TRUE(peer.wait_ready());
  zorvsock_handle* h = zt::udp_flow("kvel0", 4002, zt::ipv4(203, 0, 113, 9), 5002);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->udp.next_hop_, zt::PEER_IP);
  const std::string p = zt::library_pattern(30);
  ASSERT_EQ(zt::send_retrying(h, p.data(), 30), 0);
  auto r = peer.report();
  EXPECT_EQ(r["received"], "0") << "not the peer's address: it only forwards";
  EXPECT_EQ(r["frames"], "1");
  EXPECT_EQ(r["dst_mac"], r["own_mac"]) << "the gateway's MAC";
  zorvsock_release_handle(h);
  zt::run("ip route del 203.0.113.0/24");
}

}  // namespace
