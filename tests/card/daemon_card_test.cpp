// zorvnic_daemon against the simulator's two devices (ports kvel0 and kvel1 of device 0,
// kvel_1F_0 and kvel_1F_1 of device 1f) and the Linux interfaces of those ports, changed
// with iproute2. The launcher leaves the ports' carrier off and their fiber pages
// without address: both are the daemon's to set.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "child_process.h"
#include "daemon_process.h"
#include "fiber_fixture.h"
#include "netinfo.h"
#include "tcp/tcp_pkt_sock.h"
#include "test_support.h"
#include "text_util.h"
#include "udp_fixture.h"

namespace {

using namespace std::chrono_literals;

struct port_case {
  int k;  // global index in the simulator
  const char* name;
  const char* dev;
  const char* devid;
  int index;
};
constexpr port_case PORTS[] = {
    {0, "kvel0", "/dev/zorvnic_0", "0", 0},
    {1, "kvel1", "/dev/zorvnic_0", "0", 1},
    {2, "kvel_1F_0", "/dev/zorvnic_1f", "1f", 0},
    {3, "kvel_1F_1", "/dev/zorvnic_1f", "1f", 1},
};

constexpr int FIBER_APPLY = 1, FIBER_MAC = 5, FIBER_IP = 14, FIBER_MASK = 15, VLAN0 = 16;
constexpr int GLOBAL_TLP_HINTS = 37;

bool sh(const std::string& cmd) { return zt::run(cmd).status == 0; }

std::string link_flags(const std::string& ifname) { return zt::run("ip link show " + ifname).out; }

bool has_carrier(const std::string& ifname) {
  return link_flags(ifname).find("LOWER_UP") != std::string::npos;
}

bool every_port_up(const zt::daemon_process& d) {
  for (const port_case& p : PORTS)
    if (!d.wait_for(std::string(p.name) + " up\n")) return false;
  return true;
}

uint64_t mac_reg_of(const std::string& ifname) {
  uint8_t mac[6];
  return kvel::get_if_mac(ifname.c_str(), mac) == 0 ? kvel::mac_to_u64(mac) : 0;
}

uint64_t vlan_reg(uint32_t vlan, uint32_t ip) { return uint64_t(vlan) << 32 | ip; }

bool fiber_becomes(int k, int reg, uint64_t value) {
  return zt::daemon_process::poll_until([&] { return zt::fiber_get(k, reg) == value; },
                                        zt::DAEMON_PASSES);
}

bool make_vlan(const std::string& name, const std::string& cidr = "", const char* parent = "kvel0") {
  std::string cmd = "ip link add link " + std::string(parent) + " name " + name +
                    " type macvlan mode bridge && ip link set " + name + " up";
  if (!cidr.empty()) cmd += " && ip addr add " + cidr + " dev " + name;
  return sh(cmd);
}

class Daemon : public testing::Test {
 protected:
  void SetUp() override { ZT_REQUIRE_LAUNCHED(); }
  void TearDown() override {
    for (const port_case& p : PORTS) zt::sim_ctl("eth-fault " + std::to_string(p.k) + " none");
    zt::sim_ctl("link 0 auto");
    zt::peer_run("ip link set wire0 up");
  }
};

// Every port of both devices: the messages naming port and device, the MAC, address
// and netmask in its fiber page, the TLP hints register cleared, the driver serving the
// port, and the carrier raised by the first pass that sees the link.
TEST_F(Daemon, BringsEveryPortOfBothDevicesUp) {
  for (const port_case& p : PORTS) {
    zt::fiber_set(p.k, FIBER_IP, 0);
    zt::fiber_set(p.k, FIBER_APPLY, 0);
    ASSERT_FALSE(has_carrier(p.name)) << p.name << " had carrier before the daemon";
  }
  zt::global_set("0", GLOBAL_TLP_HINTS, 5);
  zt::global_set("1f", GLOBAL_TLP_HINTS, 5);
  zt::daemon_process d;
  ASSERT_TRUE(every_port_up(d)) << d.output();
  const std::string out = d.output();
  for (const port_case& p : PORTS) {
    SCOPED_TRACE(p.name);
    EXPECT_NE(out.find("opening " + std::string(p.name) + " (device: " + p.dev + ")\n"),
              std::string::npos) << out;
    EXPECT_NE(out.find("Using interface " + std::string(p.name) + "  ip conf: 198.18." +
                       std::to_string(p.k) + ".1 / 255.255.255.0\n"),
              std::string::npos) << out;
    EXPECT_EQ(zt::fiber_get(p.k, FIBER_MAC), mac_reg_of(p.name));
    EXPECT_EQ(zt::fiber_get(p.k, FIBER_IP), zt::ipv4(198, 18, p.k, 1));
    EXPECT_EQ(zt::fiber_get(p.k, FIBER_MASK), 0xFFFFFF00u);
    EXPECT_EQ(zt::fiber_get(p.k, FIBER_APPLY), 1u);
    EXPECT_TRUE(has_carrier(p.name));
    const std::string counters = zt::sim_ctl("counters " + std::to_string(p.k)).out;
    EXPECT_NE(counters.find("kernel_eth 1\n"), std::string::npos) << counters;
    EXPECT_NE(counters.find("eth0."), std::string::npos) << "no Ethernet session: " << counters;
  }
  EXPECT_EQ(zt::global_get("0", GLOBAL_TLP_HINTS), 0u);
  EXPECT_EQ(zt::global_get("1f", GLOBAL_TLP_HINTS), 0u);
  EXPECT_EQ(out.find("PCIe TLP"), std::string::npos);
  EXPECT_EQ(d.stop(), 0);
  EXPECT_NE(d.output().find("Stopping zorvnic daemon normally\n"), std::string::npos);
}

TEST_F(Daemon, TlpHintsWithDashS) {
  zt::daemon_process d({"-s"});
  ASSERT_TRUE(every_port_up(d)) << d.output();
  EXPECT_EQ(d.count("PCIe TLP transaction hints: 7\n"), 4) << d.output();
  EXPECT_EQ(zt::global_get("0", GLOBAL_TLP_HINTS), 7u);
  EXPECT_EQ(zt::global_get("1f", GLOBAL_TLP_HINTS), 7u);
}

// A port without link keeps its carrier off and says nothing until the link comes.
TEST_F(Daemon, CarrierWaitsForTheLink) {
  ASSERT_EQ(zt::sim_ctl("link 0 down").status, 0);
  zt::daemon_process d;
  ASSERT_TRUE(d.wait_for("kvel_1F_1 up\n")) << d.output();
  ASSERT_TRUE(d.wait_for("kvel1 up\n")) << d.output();
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(d.count("kvel0 "), 2) << "only opening and Using lines: " << d.output();
  EXPECT_FALSE(has_carrier("kvel0"));
  ASSERT_EQ(zt::sim_ctl("link 0 auto").status, 0);
  EXPECT_TRUE(d.wait_for("kvel0 up\n")) << d.output();
  EXPECT_TRUE(has_carrier("kvel0"));
}

// The wire going down in the peer drops the port's carrier; up again raises it.
TEST_F(Daemon, CarrierFollowsTheWire) {
  zt::daemon_process d;
  ASSERT_TRUE(every_port_up(d)) << d.output();
  ASSERT_EQ(zt::peer_run("ip link set wire0 down").status, 0);
  ASSERT_TRUE(d.wait_for("kvel0 down\n")) << d.output();
  EXPECT_NE(link_flags("kvel0").find("NO-CARRIER"), std::string::npos) << link_flags("kvel0");
  EXPECT_TRUE(has_carrier("kvel1"));
  ASSERT_EQ(zt::peer_run("ip link set wire0 up").status, 0);
  ASSERT_TRUE(d.wait_for("kvel0 up\n", zt::DAEMON_PASSES, 2)) << d.output();
  EXPECT_TRUE(has_carrier("kvel0"));
}

// A carrier change the driver refuses is reported and tried again, not taken as done.
TEST_F(Daemon, RefusedCarrierChangeIsRetried) {
  ASSERT_EQ(zt::sim_ctl("eth-fault 0 carrier").status, 0);
  zt::daemon_process d;
  ASSERT_TRUE(d.wait_for("kvel: Cannot turn the carrier of kvel0 on", zt::DAEMON_PASSES, 2))
      << d.output();
  EXPECT_EQ(d.count("kvel0 up\n"), 0);
  ASSERT_EQ(zt::sim_ctl("eth-fault 0 none").status, 0);
  EXPECT_TRUE(d.wait_for("kvel0 up\n")) << d.output();
  EXPECT_TRUE(has_carrier("kvel0"));
}

TEST_F(Daemon, AddressChangesReachTheCard) {
  zt::daemon_process d;
  ASSERT_TRUE(every_port_up(d)) << d.output();
  ASSERT_TRUE(sh("ip addr del 198.18.1.1/24 dev kvel1"));
  EXPECT_TRUE(fiber_becomes(1, FIBER_IP, 0));
  EXPECT_TRUE(fiber_becomes(1, FIBER_MASK, 0));
  EXPECT_EQ(d.count("kvel: kvel1 IP cfg changed, updating\n"), 1);
  ASSERT_TRUE(sh("ip addr add 198.18.1.7/25 dev kvel1"));
  EXPECT_TRUE(fiber_becomes(1, FIBER_IP, zt::ipv4(198, 18, 1, 7)));
  EXPECT_TRUE(fiber_becomes(1, FIBER_MASK, 0xFFFFFF80u));
  EXPECT_EQ(zt::fiber_get(0, FIBER_IP), zt::ipv4(198, 18, 0, 1)) << "another port changed";
  sh("ip addr del 198.18.1.7/25 dev kvel1; ip addr add 198.18.1.1/24 dev kvel1");
}

// The gateway: the default route wins over a specific one, with its messages printed
// when the situation arises, not every second.
TEST_F(Daemon, GatewayChoiceAndItsMessages) {
  zt::daemon_process d;
  ASSERT_TRUE(every_port_up(d)) << d.output();
  ASSERT_TRUE(sh("ip route add 10.9.0.0/16 via 198.18.1.3 dev kvel1"));
  ASSERT_TRUE(d.wait_for("kvel: kvel1 IP cfg changed")) << d.output();
  ASSERT_TRUE(sh("ip route add 10.10.0.0/16 via 198.18.1.4 dev kvel1"));
  EXPECT_TRUE(d.wait_for("multiple specific routes defined on the zorvnic interface, zorvnic "
                         "can only handle one gateway/route.")) << d.output();
  ASSERT_TRUE(sh("ip route del 10.10.0.0/16 && ip route add default via 198.18.1.2 dev kvel1"));
  EXPECT_TRUE(d.wait_for("kvel: Using default gateway.\n\n")) << d.output();
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(d.count("multiple specific routes defined on the zorvnic interface, zorvnic"), 1);
  EXPECT_EQ(d.count("kvel: Using default gateway."), 1) << d.output();
  EXPECT_EQ(d.count("kvel: kvel1 IP cfg changed"), 2) << "specific, then default gateway";
  EXPECT_EQ(zt::fiber_get(1, FIBER_IP), zt::ipv4(198, 18, 1, 1)) << "the gateway is not the card's";
  sh("ip route del default; ip route del 10.9.0.0/16");
}

TEST_F(Daemon, MacChangeIsFollowed) {
  zt::daemon_process d;
  ASSERT_TRUE(every_port_up(d)) << d.output();
  const uint64_t before = mac_reg_of("kvel_1F_0");
  ASSERT_TRUE(sh("ip link set kvel_1F_0 address 02:11:22:33:44:55"));
  EXPECT_TRUE(fiber_becomes(2, FIBER_MAC, 0x021122334455ull));
  EXPECT_EQ(zt::fiber_get(2, FIBER_IP), zt::ipv4(198, 18, 2, 1));
  sh("ip link set kvel_1F_0 address " + kvel::mac_u64_to_string(before));
}

// The card's VLAN slots follow the port's sub-interfaces, by position: exactly
// "<port>.<id>" counts, slots left by an earlier run are cleared, a removed
// sub-interface moves the ones after it up and empties the last slot, and the same
// address under another id is written again.
TEST_F(Daemon, VlanSlotsFollowSubInterfaces) {
  zt::fiber_set(0, VLAN0 + 4, vlan_reg(300, zt::ipv4(198, 18, 30, 1)));
  zt::fiber_set(1, VLAN0, vlan_reg(5, zt::ipv4(198, 18, 5, 1)));
  ASSERT_TRUE(make_vlan("kvel0.100", "198.18.100.1/24"));
  ASSERT_TRUE(make_vlan("kvel0.200", "198.18.200.1/24"));
  ASSERT_TRUE(make_vlan("kvel10.5", "198.18.105.1/24", "kvel1"));
  ASSERT_TRUE(make_vlan("kvel0.5.7", "198.18.57.1/24"));
  ASSERT_TRUE(make_vlan("kvel0.5000", "198.18.150.1/24"));
  ASSERT_TRUE(make_vlan("kvel0.0", "198.18.151.1/24"));
  zt::daemon_process d;
  ASSERT_TRUE(d.wait_for("Using interface kvel0.200 (vlan_set : 2) ip conf: 198.18.200.1 / "
                         "255.255.255.0\n")) << d.output();
  EXPECT_NE(d.output().find("Using interface kvel0.100 (vlan_set : 1) ip conf: 198.18.100.1"),
            std::string::npos);
  EXPECT_EQ(zt::fiber_get(0, VLAN0), vlan_reg(100, zt::ipv4(198, 18, 100, 1)));
  EXPECT_EQ(zt::fiber_get(0, VLAN0 + 1), vlan_reg(200, zt::ipv4(198, 18, 200, 1)));
  for (int s = 2; s < 15; ++s) EXPECT_EQ(zt::fiber_get(0, VLAN0 + s), 0u) << "slot " << s;
  for (int s = 0; s < 15; ++s) EXPECT_EQ(zt::fiber_get(1, VLAN0 + s), 0u) << "kvel1 slot " << s;
  std::this_thread::sleep_for(2000ms);
  EXPECT_EQ(d.count("kvel: VLAN sub-interface kvel0.5000 not used: VLAN id outside 1..4094\n"), 1)
      << d.output();
  EXPECT_EQ(d.count("kvel0.0 not used"), 1) << d.output();
  EXPECT_EQ(d.count("vlan_set"), 2) << "slots rewritten without a change: " << d.output();

  ASSERT_TRUE(sh("ip link del kvel0.100"));
  EXPECT_TRUE(fiber_becomes(0, VLAN0, vlan_reg(200, zt::ipv4(198, 18, 200, 1))));
  EXPECT_TRUE(fiber_becomes(0, VLAN0 + 1, 0));
  ASSERT_TRUE(sh("ip link del kvel0.200"));
  ASSERT_TRUE(make_vlan("kvel0.201", "198.18.200.1/24"));
  EXPECT_TRUE(fiber_becomes(0, VLAN0, vlan_reg(201, zt::ipv4(198, 18, 200, 1))));
  ASSERT_TRUE(sh("ip link del kvel0.201"));
  EXPECT_TRUE(fiber_becomes(0, VLAN0, 0));
  sh("ip link del kvel10.5; ip link del kvel0.5.7; ip link del kvel0.5000; ip link del kvel0.0");
}

// The card has 15 slots: the sixteenth sub-interface is said once to be left out.
TEST_F(Daemon, SixteenthVlanIsLeftOutOnce) {
  for (int v = 1; v <= 16; ++v) ASSERT_TRUE(make_vlan("kvel1." + std::to_string(v), "", "kvel1"));
  zt::daemon_process d;
  ASSERT_TRUE(fiber_becomes(1, VLAN0 + 14, vlan_reg(15, 0))) << d.output();
  for (int s = 0; s < 15; ++s) EXPECT_EQ(zt::fiber_get(1, VLAN0 + s), vlan_reg(s + 1, 0));
  std::this_thread::sleep_for(2000ms);
  EXPECT_EQ(d.count("kvel: VLAN sub-interface kvel1.16 not used: the card has 15 VLAN slots\n"),
            1) << d.output();
  for (int v = 1; v <= 16; ++v) sh("ip link del kvel1." + std::to_string(v));
}

std::string peer_wire_mac() {
  const zt::cmd_result r = zt::peer_run("ip -o link show wire0");
  const size_t at = r.out.find("link/ether ");
  return at == std::string::npos ? "" : r.out.substr(at + 11, 17);
}

// A UDP session on a sub-interface finds the slot the daemon filled and tags its frames.
TEST_F(Daemon, UdpOnSubInterfaceSendsTaggedFrames) {
  ZT_REQUIRE_UDP();
  ASSERT_TRUE(make_vlan("kvel0.100", "198.18.100.1/24"));
  const std::string mac = peer_wire_mac();
  ASSERT_NE(mac, "");
  ASSERT_TRUE(sh("ip neigh replace 198.18.100.2 lladdr " + mac + " dev kvel0.100 nud permanent"));
  zt::daemon_process d;
  ASSERT_TRUE(d.wait_for("(vlan_set : 1)")) << d.output();
  zt::peer_job peer("recv 4501 2 --raw wire0 --idle 2 --ready {ready}");
  ASSERT_TRUE(peer.wait_ready());
  zorvsock_handle* h = zt::udp_flow("kvel0.100", 4500, zt::ipv4(198, 18, 100, 2), 4501);
  ASSERT_NE(h, nullptr);
  for (int len : {1, 1468}) {
    const std::string p = zt::library_pattern(len);
    ASSERT_EQ(zt::send_retrying(h, p.data(), len), 0) << len;
  }
  auto r = peer.report();
  EXPECT_EQ(r["frames"], "2");
  EXPECT_EQ(r["vlan"], "100");
  EXPECT_EQ(r["bad_udp_csum"], "0");
  zorvsock_release_handle(h);
  sh("ip link del kvel0.100");
}

// A port that fails gives its Ethernet session back and leaves only its own slot
// empty; a refused kernel Ethernet service is reported and the port still served.
TEST_F(Daemon, FailedPortsGiveTheirSessionBack) {
  ASSERT_EQ(zt::sim_ctl("eth-fault 1 identity").status, 0);
  ASSERT_EQ(zt::sim_ctl("eth-fault 2 alloc").status, 0);
  ASSERT_EQ(zt::sim_ctl("eth-fault 3 kernel-eth").status, 0);
  zt::daemon_process d;
  ASSERT_TRUE(d.wait_for("kvel_1F_1 up\n")) << d.output();
  ASSERT_TRUE(d.wait_for("kvel0 up\n")) << d.output();
  const std::string out = d.output();
  EXPECT_NE(out.find("kvel: Internal error when enabling L2 session, registers are not L2! "
                     "(idreg=  55002000)\nkvel: Zorvnic init failed fiber 1!\n"),
            std::string::npos) << out;
  EXPECT_NE(out.find("kvel: Zorvnic dev init failed fiber 0!\n"), std::string::npos) << out;
  EXPECT_NE(out.find("kvel: Could not enable kernel driver for kvel_1F_1: "), std::string::npos);
  EXPECT_EQ(out.find("kvel1 up"), std::string::npos);
  EXPECT_EQ(out.find("kvel_1F_0 up"), std::string::npos);
  for (int k : {1, 2}) {
    const std::string counters = zt::sim_ctl("counters " + std::to_string(k)).out;
    EXPECT_EQ(counters.find("eth0."), std::string::npos) << "port " << k << " kept its session";
    EXPECT_NE(counters.find("kernel_eth 0\n"), std::string::npos);
  }
  EXPECT_NE(zt::sim_ctl("counters 3").out.find("eth0."), std::string::npos);
  EXPECT_TRUE(has_carrier("kvel_1F_1"));
}

// The echo client as uid 65534 runs from a copy of its own: the checkout may lie under
// a home directory that only root may enter, and that user could load neither the
// program nor the library from the build tree.
std::string unprivileged_echo_client() {
  static const std::string dir = [] {
    const std::string d = "/tmp/zt_unprivileged";
    EXPECT_TRUE(sh("rm -rf " + d + " && mkdir -m 755 " + d + " && cp " ZT_TCP_ECHO_CLIENT " "
                   ZT_KVEL_LIB " " + d + " && chmod -R a+rX " + d));
    return d;
  }();
  return "env LD_LIBRARY_PATH=" + dir + " " + dir + "/tcp_echo_client";
}

// The group whose members the daemon serves in these tests, and one beside it.
constexpr char MEMBERS[] = "users";
constexpr int MEMBERS_GID = 100, OTHER_GID = 50;

// One echo over the card from a process of uid 65534 with the setpriv group options
// given; the connection's frames are counted by the simulator.
struct echo_result {
  zt::cmd_result client;
  long card_frames;  // TCP frames the card sent meanwhile
};

echo_result echo_once(const std::string& groups, const std::string& caps = "") {
  const std::string client = "setpriv --reuid=65534 " + groups + " " + caps + " " +
                             unprivileged_echo_client() + " kvel0 198.18.0.2 7020 3 100";
  zt::cmd_result server{-1, {}};
  std::thread peer([&] { server = zt::peer_run("timeout 20 socat TCP-LISTEN:7020,reuseaddr PIPE"); });
  zt::daemon_process::poll_until(
      [] { return zt::peer_run("ss -Hltn 'sport = :7020'").out.find("7020") != std::string::npos; },
      5000ms);
  const long frames = zt::sim_counter("tcp_tx_frames");
  echo_result r{zt::run(client), 0};
  r.card_frames = zt::sim_counter("tcp_tx_frames") - frames;
  // A client that never connected leaves the echo server listening: one connection
  // of the peer's own ends it.
  zt::peer_run("socat -u /dev/null TCP:127.0.0.1:7020");
  peer.join();
  return r;
}

bool group_exists(const char* name, int gid) {
  return zt::run("getent group " + std::string(name)).out.rfind(
             std::string(name) + ":x:" + std::to_string(gid) + ":", 0) == 0;
}

// A member of the daemon's group, by its own group or a supplementary one, connects
// over the card with the packet socket the daemon hands it; without the daemon its
// connect fails in the set-up. A user outside the group gets nothing: the socket file
// keeps it out, and past the file's permissions the daemon refuses it and says so.
TEST_F(Daemon, OnlyTheGroupRunsTcpThroughTheDaemon) {
  if (!group_exists(MEMBERS, MEMBERS_GID)) GTEST_SKIP() << "this host has no group users (100)";
  const std::string member = "--regid=" + std::to_string(OTHER_GID) +
                             " --groups=" + std::to_string(MEMBERS_GID);
  const std::string own_group = "--regid=" + std::to_string(MEMBERS_GID) + " --clear-groups";
  const std::string outsider = "--regid=65534 --clear-groups";
  const std::string past_modes = "--inh-caps=+dac_override --ambient-caps=+dac_override";
  {
    zt::daemon_process d({"-g", MEMBERS});
    ASSERT_TRUE(every_port_up(d)) << d.output();
    for (const std::string& groups : {member, own_group}) {
      const echo_result r = echo_once(groups);
      EXPECT_EQ(r.client.status, 0) << groups << "\n" << r.client.out;
      EXPECT_NE(r.client.out.find("3 of 3"), std::string::npos) << r.client.out;
      EXPECT_GT(r.card_frames, 0) << "the connection went over the card";
    }
    for (const std::string& caps : {std::string(), past_modes}) {
      const echo_result r = echo_once(outsider, caps);
      EXPECT_NE(r.client.status, 0) << r.client.out;
      EXPECT_NE(r.client.out.find("Could not init PF_PACKET on kvel0"), std::string::npos)
          << r.client.out;
      EXPECT_EQ(r.card_frames, 0);
    }
    EXPECT_EQ(d.count("(uid 65534): neither root nor in group users\n"), 1) << d.output();
  }
  const echo_result r = echo_once(member);
  EXPECT_NE(r.client.status, 0) << r.client.out;
  EXPECT_NE(r.client.out.find("Could not init PF_PACKET on kvel0"), std::string::npos)
      << r.client.out;
}

// With a group that does not exist only root is served, and the daemon says so when it
// starts; the socket file is root's alone.
TEST_F(Daemon, WithoutTheGroupOnlyRootIsServed) {
  zt::daemon_process d({"-g", "zt_no_such_group"});
  ASSERT_TRUE(d.wait_for("kvel: Group zt_no_such_group does not exist: packet sockets are "
                         "handed to root only. Create it and add the users who may run TCP "
                         "over the card.\n")) << d.output();
  ASSERT_TRUE(every_port_up(d)) << d.output();
  struct stat st{};
  ASSERT_EQ(stat(kvel::PKT_HANDOFF_PATH, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const int fd = kvel::receive_handed_packet_socket();
  EXPECT_GE(fd, 0) << "root is served";
  if (fd >= 0) close(fd);
  const echo_result r = echo_once("--regid=65534 --clear-groups",
                                  "--inh-caps=+dac_override --ambient-caps=+dac_override");
  EXPECT_NE(r.client.status, 0) << r.client.out;
  EXPECT_EQ(d.count("(uid 65534): neither root nor in group zt_no_such_group\n"), 1) << d.output();
}

// A user who listens on the path before the daemon starts does not keep it from
// serving: the daemon takes the path over.
TEST_F(Daemon, SquatterOnTheSocketPathDoesNotStopTheDaemon) {
  zt::child_process squatter({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                              "socat", "-d", "-d",
                              "UNIX-LISTEN:/tmp/vyx_zorvnic_daemon_uds0,fork", "STDIO"},
                             "/tmp/squatter.log");
  ASSERT_TRUE(squatter.wait_output("listening on")) << squatter.output();
  zt::daemon_process d;
  ASSERT_TRUE(d.wait_for("kvel: /tmp/vyx_zorvnic_daemon_uds0 was served by a process that is "
                         "not root, taking it over\n")) << d.output();
  ASSERT_TRUE(every_port_up(d)) << d.output();
  EXPECT_EQ(d.output().find("Couldn't start PF_PACKET"), std::string::npos) << d.output();
  const int fd = kvel::receive_handed_packet_socket();
  EXPECT_GE(fd, 0) << "served by the daemon";
  if (fd >= 0) close(fd);
  squatter.signal(SIGKILL);
  squatter.wait();
}

// An interface name of 16 characters or more cannot be asked for: cut to 15 it would
// name another interface, whose MAC would go into the card.
TEST_F(Daemon, LongNameIsNotCutToAnother) {
  ASSERT_TRUE(make_vlan("kvel0.123456789"));  // 15 characters, the longest name there is
  uint8_t mac[6];
  EXPECT_EQ(kvel::get_if_mac("kvel0.123456789", mac), 0);
  EXPECT_EQ(kvel::get_if_mac("kvel0.1234567890", mac), -1);
  sh("ip link del kvel0.123456789");
}

// Without a readable /proc the daemon cannot tell whether another instance runs: it
// says so and starts.
TEST_F(Daemon, UnreadableProcIsNoOtherInstance) {
  const zt::cmd_result r = zt::run("timeout -s TERM 4 unshare -m sh -c 'mount -t tmpfs none /proc "
                                   "&& exec " ZT_DAEMON "'");
  EXPECT_NE(r.out.find("kvel: Cannot read /proc, not checking for other instances of "
                       "zorvnic_daemon\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("opening kvel0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Stopping zorvnic daemon normally\n"), std::string::npos) << r.out;
}

struct option_case {
  std::vector<std::string> args;
  int status;  // -1: runs until stopped, then 0
};

// -h and unknown options print the usage and give 1; -f, -k, -t, -w and a port name
// change nothing.
TEST_F(Daemon, CommandLine) {
  const option_case CASES[] = {
      {{"-h"}, 1}, {{"-x"}, 1}, {{"-f", "-x"}, 1}, {{"-f"}, -1}, {{"-k", "-t", "-w", "kvel_03_0"}, -1},
  };
  for (const option_case& c : CASES) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
    zt::daemon_process d(c.args);
    if (c.status == 1) {
      EXPECT_EQ(d.wait_exit(), 1);
      EXPECT_NE(d.output().find("zorvnic_daemon <options> <kvel_??_?>\nExample: zorvnic_daemon "
                                "kvel_03_0\nOptions:\n"), std::string::npos) << d.output();
      EXPECT_EQ(d.output().find("opening"), std::string::npos);
      continue;
    }
    EXPECT_TRUE(every_port_up(d)) << d.output();
    EXPECT_EQ(d.stop(), 0);
  }
}

// One instance at a time unless -m; a second one with -m leaves the first one's
// hand-off socket alone, and a program merely named like the daemon is no instance.
TEST_F(Daemon, SingleInstance) {
  const std::string namesake = "/tmp/zorvnic_daemon_test";
  ASSERT_TRUE(sh("cp /bin/sleep " + namesake));
  const pid_t sleeper = pid_t(atoi(zt::run(namesake + " 60 >/dev/null 2>&1 & echo $!").out.c_str()));
  ASSERT_GT(sleeper, 0);
  zt::daemon_process first;
  ASSERT_TRUE(every_port_up(first)) << first.output();
  zt::daemon_process second;
  EXPECT_EQ(second.wait_exit(), 1);
  EXPECT_NE(second.output().find("An instance of zorvnic_daemon is already running. Cannot run "
                                 "multiple instances.\n"), std::string::npos) << second.output();
  {
    zt::daemon_process third({"-m"});
    EXPECT_TRUE(third.wait_for("Allowing multiple instances of zorvnic daemons to run.\n"));
    EXPECT_TRUE(third.wait_for("Couldn't start PF_PACKET inheritance unix socket"))
        << third.output();
    EXPECT_EQ(third.stop(), 0);
  }
  const int fd = kvel::receive_handed_packet_socket();
  EXPECT_GE(fd, 0) << "the first daemon's socket went with the second";
  if (fd >= 0) close(fd);
  EXPECT_EQ(first.stop(), 0);
  EXPECT_NE(access(kvel::PKT_HANDOFF_PATH, F_OK), 0) << "the socket file outlived its server";
  kill(sleeper, SIGKILL);
}

// A daemon started from another path counts as an instance, and so does one whose
// program file was replaced (an upgrade) since it started.
TEST_F(Daemon, InstanceFromAnotherPathOrReplaced) {
  const std::string copy = "/tmp/zt_elsewhere/zorvnic_daemon";
  for (bool replaced : {false, true}) {
    SCOPED_TRACE(replaced ? "replaced" : "another path");
    ASSERT_TRUE(sh("mkdir -p /tmp/zt_elsewhere && cp " ZT_DAEMON " " + copy));
    zt::child_process first({copy}, "/tmp/zt_elsewhere.log");
    ASSERT_TRUE(first.wait_output("kvel0 up\n")) << first.output();
    if (replaced) {
      ASSERT_TRUE(sh("rm " + copy));
    }
    zt::daemon_process second;
    EXPECT_EQ(second.wait_exit(), 1) << second.output();
    EXPECT_NE(second.output().find("An instance of zorvnic_daemon is already running."),
              std::string::npos) << second.output();
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(), 0) << first.output();
  }
}

}  // namespace
