// The fiber object against the simulator's pages (ports in zorvfiber_card_test.conf):
// the checks of init with their messages, link status, VLAN slots, delays, and the
// daemon-side writers as another process (the simulator's control socket) sees them.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fiber_fixture.h"
#include "ts_adjust.h"
#include "zorvfiber.h"

namespace {

const std::string DEV = "/dev/zorvnic_0";
const std::string DEV_ID = "0";
constexpr int REG_APPLY = 1, REG_MAC = 5, REG_STATUS = 13, REG_IP = 14, REG_MASK = 15;
constexpr int REG_VLAN0 = 16, REG_VLAN14 = 30, GLOBAL_RESET0 = 4;

uint64_t vlan_reg(uint64_t vlan, uint32_t ip) { return vlan << 32 | ip; }

// One port's descriptor and a fiber object on it, unmapped at the end.
struct port_fiber {
  zt::port_fd port;
  kvel::zorvfiber f;
  std::string out;  // what init printed

  explicit port_fiber(int index) : port(DEV, index), f(port.fd) {}
  int init(bool read_only) {
    testing::internal::CaptureStdout();
    int r = f.init(port.fiber, read_only);
    out = testing::internal::GetCapturedStdout();
    return r;
  }
  ~port_fiber() { f.unmap(); }
};

class Fiber : public testing::Test {
 protected:
  void SetUp() override { ZT_REQUIRE_LAUNCHED(); }
};

TEST_F(Fiber, InitMapsBothPagesOnce) {
  port_fiber p(0);
  ASSERT_GE(p.port.fiber, 0);
  ASSERT_EQ(p.init(true), 0) << p.out;
  EXPECT_EQ(p.out, "");
  EXPECT_EQ(p.f.mapped_, 1);
  EXPECT_EQ(p.f.type_, 1);
  EXPECT_EQ(p.f.has_link_status_, 1);
  EXPECT_EQ(p.f.read_id(), zt::fiber_get(0, 0));
  ASSERT_NE(p.f.global_, nullptr);
  auto* conf = p.f.conf_;
  auto* global = p.f.global_;
  EXPECT_EQ(p.init(true), 0);
  EXPECT_EQ(p.f.conf_, conf) << "a second init maps nothing new";
  EXPECT_EQ(p.f.global_, global);
  p.f.unmap();
  EXPECT_EQ(p.f.conf_, nullptr);
  EXPECT_EQ(p.f.global_, nullptr);
  EXPECT_EQ(kvel::kvel_dev_ioctl(p.port.fd, kvel::KVEL_DEV_PROBE, nullptr), 0)
      << "the descriptor belongs to the builder and stays open";
}

struct init_case {
  int port;
  int result;
  std::string message;  // the diagnostic text after "zorvfiber:init():<line> "
  int type;
  int has_link_status;
};

class FiberInit : public Fiber, public testing::WithParamInterface<init_case> {};

TEST_P(FiberInit, ChecksIdentityAndType) {
  const init_case& c = GetParam();
  port_fiber p(c.port);
  EXPECT_EQ(p.init(true), c.result);
  if (c.message.empty()) {
    EXPECT_EQ(p.out, "");
  } else {
    EXPECT_NE(p.out.find("zorvfiber:init():"), std::string::npos) << p.out;
    EXPECT_NE(p.out.find(" " + c.message), std::string::npos) << p.out;
  }
  EXPECT_EQ(p.f.mapped_, c.result == 0 ? 1 : 0);
  if (c.result == 0) {
    EXPECT_EQ(p.f.type_, c.type);
    EXPECT_EQ(p.f.has_link_status_, c.has_link_status);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ports, FiberInit,
    testing::Values(init_case{1, -1, "Global fiber register error, id not correct (11000200)\n", 0, 0},
                    init_case{2, -1, "Error unknown fiber type 3\n", 0, 0},
                    init_case{3, 0, "", 2, 1}, init_case{4, 0, "", 1, 0},
                    init_case{5, 0, "", 0, 1}, init_case{6, 0, "", -1, 1}));

// The simulator may publish a forced link on its next pass.
int link_after(kvel::zorvfiber& f, int expected) {
  for (int i = 0; i < 200 && f.link_up() != expected; ++i) usleep(5000);
  return f.link_up();
}

TEST_F(Fiber, LinkFollowsTheCard) {
  port_fiber p(0);
  ASSERT_EQ(p.init(true), 0);
  ASSERT_EQ(zt::sim_ctl("link 0 down").status, 0);
  EXPECT_EQ(link_after(p.f, 0), 0);
  ASSERT_EQ(zt::sim_ctl("link 0 up").status, 0);
  EXPECT_EQ(link_after(p.f, 1), 1);
  zt::sim_ctl("link 0 auto");
}

TEST_F(Fiber, PortWithoutLinkStatusIsAlwaysUp) {
  port_fiber p(4);
  ASSERT_EQ(p.init(true), 0);
  zt::fiber_set(4, REG_STATUS, 0);
  EXPECT_EQ(p.f.link_up(), 1);
}

TEST_F(Fiber, VlanSlotsOfTheCardsPage) {
  port_fiber p(0);
  ASSERT_EQ(p.init(true), 0);
  zt::fiber_set(0, REG_VLAN14, vlan_reg(100, 0xC6120001));
  EXPECT_EQ(p.f.get_vlan_set(100), 15);
  zt::fiber_set(0, REG_VLAN0 + 1, vlan_reg(100, 0));
  zt::fiber_set(0, REG_VLAN0 + 4, vlan_reg(100, 0));
  EXPECT_EQ(p.f.get_vlan_set(100), 2);
  EXPECT_EQ(p.f.get_vlan_set(101), -1);
  for (int r : {REG_VLAN0 + 1, REG_VLAN0 + 4, REG_VLAN14}) zt::fiber_set(0, r, 0);
}

TEST_F(Fiber, DelaysFromThePortNegativeAsZero) {
  port_fiber p(5);
  ASSERT_EQ(p.init(true), 0);
  EXPECT_EQ(p.f.get_pmapcsmac_tx_delay_ps(), 0);  // configured -5
  EXPECT_EQ(p.f.get_pmapcsmac_rx_delay_ps(), 123456);
  int64_t tx = -1, rx = -1;
  kvel::read_port_delays(p.port.fd, p.port.fiber, &tx, &rx);
  EXPECT_EQ(tx, 0);
  EXPECT_EQ(rx, 123456);
}

TEST_F(Fiber, DaemonWritesMacAddressAndMask) {
  port_fiber p(0);
  ASSERT_EQ(p.init(false), 0) << p.out;
  const uint8_t mac[6] = {0x02, 0x5A, 0xAB, 0xCD, 0xEF, 0x01};
  zt::fiber_set(0, REG_APPLY, 0);
  testing::internal::CaptureStdout();
  p.f.setup_mac_ip_regs(mac, 0xC6120001, 0xFFFFFF00);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(zt::fiber_get(0, REG_MAC), 0x025AABCDEF01u);
  EXPECT_EQ(zt::fiber_get(0, REG_IP), 0xC6120001u);
  EXPECT_EQ(zt::fiber_get(0, REG_MASK), 0xFFFFFF00u);
  EXPECT_EQ(zt::fiber_get(0, REG_APPLY), 1u);
}

std::vector<uint64_t> vlan_regs(int k) {
  std::vector<uint64_t> v;
  for (int r = REG_VLAN0; r <= REG_VLAN14; ++r) v.push_back(zt::fiber_get(k, r));
  return v;
}

TEST_F(Fiber, DaemonWritesVlanSlots) {
  port_fiber p(0);
  ASSERT_EQ(p.init(false), 0);
  p.f.set_vlan_set(14, 100, 0xC6120A01);
  EXPECT_EQ(zt::fiber_get(0, REG_VLAN14), vlan_reg(100, 0xC6120A01));
  auto before = vlan_regs(0);
  testing::internal::CaptureStdout();
  p.f.set_vlan_set(15, 200, 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("zorvfiber:set_vlan_set():"), std::string::npos) << out;
  EXPECT_NE(out.find(" Only 15 VLANs are supported\n"), std::string::npos) << out;
  EXPECT_EQ(vlan_regs(0), before);
  p.f.set_vlan_set(14, 0, 0);
  EXPECT_EQ(zt::fiber_get(0, REG_VLAN14), 0u);
}

// The time port's address goes to the time module by the driver, not into the page.
TEST_F(Fiber, TimePortAddressGoesToTheDriver) {
  port_fiber p(3);
  ASSERT_EQ(p.init(false), 0);
  for (int r : {REG_APPLY, REG_IP, REG_MASK}) zt::fiber_set(3, r, 0x5EED0000u + r);
  auto vlans = vlan_regs(3);
  const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  testing::internal::CaptureStdout();
  p.f.setup_mac_ip_regs(mac, 0xC6120301, 0xFFFFFF00);
  p.f.set_vlan_set(0, 100, 0xC6120301);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "the driver took the address";
  EXPECT_EQ(zt::fiber_get(3, REG_MAC), 0x021122334455u);
  std::string counters = zt::sim_ctl("counters 3").out;
  EXPECT_NE(counters.find("time_mac 0x021122334455\n"), std::string::npos) << counters;
  EXPECT_NE(counters.find("time_ip 0xc6120301"), std::string::npos) << counters;
  for (int r : {REG_APPLY, REG_IP, REG_MASK}) EXPECT_EQ(zt::fiber_get(3, r), 0x5EED0000u + r) << r;
  EXPECT_EQ(vlan_regs(3), vlans);
}

TEST_F(Fiber, RefusedTimeAddressIsReported) {
  port_fiber p(6);  // type -1 counts as no ordinary port, but the driver's port is one
  ASSERT_EQ(p.init(false), 0);
  const uint8_t mac[6] = {0x02, 0, 0, 0, 0, 6};
  testing::internal::CaptureStdout();
  p.f.setup_mac_ip_regs(mac, 1, 2);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("zorvfiber:setup_mac_ip_regs():"), std::string::npos) << out;
  EXPECT_NE(out.find(" Error setting time module address: Invalid argument\n"), std::string::npos)
      << out;
}

// A second process with its own read-only view of the global page must see the reset
// register at 1 during the pulse.
TEST_F(Fiber, ResetPulseSeenByAnotherProcess) {
  port_fiber p(0);
  ASSERT_EQ(p.init(false), 0);
  const int reg = GLOBAL_RESET0 + p.port.fiber;
  zt::global_set(DEV_ID, reg, 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    kvel::zorvfiber watcher(kvel::kvel_dev_open(DEV.c_str()));
    if (watcher.map_kvel_global(true) != 0) _exit(2);
    if (write(ready[1], "r", 1) != 1) _exit(3);
    timespec start{}, now{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    do {
      if (kvel::mmio_read64(watcher.global_, 8 * size_t(reg)) == 1) _exit(0);
      clock_gettime(CLOCK_MONOTONIC, &now);
    } while (now.tv_sec - start.tv_sec < 10);
    _exit(1);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  int status = 0;
  for (int i = 0; i < 20000 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
    p.f.pulse_reset();
    usleep(500);
  }
  if (waitpid(pid, &status, WNOHANG) == 0) waitpid(pid, &status, 0);
  close(ready[0]);
  close(ready[1]);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no pulse seen, 2: no global page";
  EXPECT_EQ(zt::global_get(DEV_ID, reg), 0u) << "the pulse ends released";
}

}  // namespace
