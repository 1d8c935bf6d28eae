// The device-access layer against the card simulator: commands, every region kind,
// shared pages, the card clock, link status, traffic over the wire, and the failures
// of a simulator that stalls or dies.
#include "kvel_dev.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "kvel_ioctl.h"
#include "kvel_sim_proto.h"
#include "test_support.h"
#include "zorvtime.h"

namespace {

using namespace kvel;
using namespace std::chrono_literals;

constexpr const char* DEV0 = "/dev/zorvnic_0";
constexpr const char* DEV1 = "/dev/zorvnic_1";

struct device {
  int fd;
  explicit device(const char* path = DEV0) : fd(kvel_dev_open(path)) {}
  ~device() {
    if (fd >= 0) kvel_dev_close(fd);
  }
  int command(unsigned long cmd, int value) { return kvel_dev_ioctl(fd, cmd, &value); }
};

struct mapping {
  void* p;
  size_t len;
  mapping(int fd, long region, int prot = PROT_READ, size_t length = KVEL_PAGE_SIZE)
      : p(kvel_dev_mmap(fd, length, prot, region)), len(length) {}
  ~mapping() {
    if (ok()) kvel_dev_munmap(p, len);
  }
  bool ok() const { return p != MAP_FAILED; }
  uint64_t reg(unsigned n) const { return mmio_read64(p, 8 * n); }
  void set_reg(unsigned n, uint64_t v) const { mmio_write64(p, 8 * n, v); }
};

// errno of a call that must fail with -1 (or MAP_FAILED).
int failure_errno(const std::function<bool()>& failed) {
  errno = 0;
  return failed() ? errno : 0;
}

uint64_t ctl_number(const std::string& cmd) {
  zt::cmd_result r = zt::sim_ctl(cmd);
  EXPECT_EQ(r.status, 0) << cmd << ": " << r.out;
  return strtoull(r.out.c_str(), nullptr, 0);
}

// Value of one "name value" line of "counters <k>".
uint64_t counter(int port, const std::string& name) {
  zt::cmd_result r = zt::sim_ctl("counters " + std::to_string(port));
  size_t at = ("\n" + r.out).find("\n" + name + " ");
  EXPECT_NE(at, std::string::npos) << name << " missing in:\n" << r.out;
  return at == std::string::npos ? 0 : strtoull(r.out.c_str() + at + name.size() + 1, nullptr, 0);
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 3000ms) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

std::set<std::string> memfd_mappings() {
  std::set<std::string> lines;
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);)
    if (line.find("/memfd:") != std::string::npos) lines.insert(line);
  return lines;
}

std::set<std::string> open_fds() {
  std::set<std::string> names;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

uint64_t realtime_ns() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return uint64_t(now.tv_sec) * 1000000000ull + uint64_t(now.tv_nsec);
}

struct CardTest : ::testing::Test {
  void SetUp() override { ZT_REQUIRE_LAUNCHED(); }
};

TEST_F(CardTest, ProbeAndPortNames) {
  device dev;
  ASSERT_GE(dev.fd, 0);
  EXPECT_EQ(kvel_dev_ioctl(dev.fd, KVEL_DEV_PROBE, nullptr), 0);
  struct case_t {
    int index;
    const char* name;  // null: no such port
  } cases[] = {{0, "kvel0"}, {1, "kvel1"}, {2, nullptr}, {15, nullptr}, {-1, nullptr}};
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.index);
    char buf[64];
    memset(buf, 0x7F, sizeof buf);
    memcpy(buf, &c.index, sizeof c.index);
    int rc = kvel_dev_ioctl(dev.fd, KVEL_DEV_PORT_NAME, buf);
    if (!c.name) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(errno, EINVAL);
      continue;
    }
    EXPECT_EQ(rc, 0);
    EXPECT_STREQ(buf, c.name);
    EXPECT_EQ(buf[63], 0);
  }
  device other(DEV1);
  char buf[64] = {};
  EXPECT_EQ(kvel_dev_ioctl(other.fd, KVEL_DEV_PORT_NAME, buf), 0);
  EXPECT_STREQ(buf, "kvel_1_0");
}

// Unknown commands are refused whatever their argument, and the descriptor goes on.
TEST_F(CardTest, UnknownCommandIsNotATty) {
  device dev;
  std::vector<unsigned char> big(0x3FFF, 0xEE);
  for (unsigned long cmd : {0x0UL, 0x4299UL, 0x40045799UL, 0x80085700UL, 0xFFFF4242UL}) {
    SCOPED_TRACE(cmd);
    EXPECT_EQ(failure_errno([&] { return kvel_dev_ioctl(dev.fd, cmd, big.data()) == -1; }), ENOTTY);
  }
  EXPECT_EQ(kvel_dev_ioctl(dev.fd, KVEL_DEV_PROBE, nullptr), 0);
}

TEST_F(CardTest, TscRateOrRefusal) {
  device dev0, dev1(DEV1);
  int khz = 0;
  EXPECT_EQ(kvel_dev_ioctl(dev0.fd, KVEL_TSC_KHZ, &khz), 0);
  EXPECT_EQ(khz, 2400000);
  EXPECT_NE(failure_errno([&] { return kvel_dev_ioctl(dev1.fd, KVEL_TSC_KHZ, &khz) == -1; }), 0);
}

TEST_F(CardTest, FiberPageShowsThePortsConfiguration) {
  struct reg_t {
    unsigned reg;
    uint64_t value;
  };
  struct case_t {
    int get_fiber;  // -1: the descriptor never asks, so it maps port 0
    std::vector<reg_t> regs;
  } cases[] = {
      {-1,
       {{0, 0x10000200},
        {2, 0},
        {3, 2},
        {4, 0x025A00000000},
        {5, 0x025A00000000},
        {11, 1},
        {43, 41200},
        {44, 0xFFFFFFF9}}},
      {1,
       {{0, 0x10000201}, {2, 1}, {3, 1}, {4, 0x021122334455}, {11, 2}, {13, 0}, {43, 0}, {44, 0}}},
  };
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.get_fiber);
    device dev;
    if (c.get_fiber >= 0) {
      int fiber = c.get_fiber;
      ASSERT_EQ(kvel_dev_ioctl(dev.fd, KVEL_GET_FIBER, &fiber), 0);
      EXPECT_EQ(fiber, c.get_fiber);
    }
    mapping page(dev.fd, KVEL_MMAP_FIBER_CONF);
    ASSERT_TRUE(page.ok()) << strerror(errno);
    for (const reg_t& r : c.regs) EXPECT_EQ(page.reg(r.reg), r.value) << "register " << r.reg;
    for (unsigned reg : {6, 7, 8, 9, 10}) EXPECT_GT(page.reg(reg), 0u) << "session count " << reg;
  }
  device dev;
  int fiber = 2;
  EXPECT_EQ(failure_errno([&] { return kvel_dev_ioctl(dev.fd, KVEL_GET_FIBER, &fiber) == -1; }),
            EINVAL);
}

// A register written through one process's read-write mapping is seen through another
// process's read-only mapping and by the simulator.
TEST_F(CardTest, FiberPageIsSharedBetweenProcesses) {
  device dev;
  mapping page(dev.fd, KVEL_MMAP_FIBER_CONF);
  ASSERT_TRUE(page.ok());
  pid_t child = fork();
  if (child == 0) {
    int fd = kvel_dev_open(DEV0);
    void* p = kvel_dev_mmap(fd, KVEL_PAGE_SIZE, PROT_READ | PROT_WRITE, KVEL_MMAP_FIBER_CONF);
    if (p == MAP_FAILED) _exit(2);
    mmio_write64(p, 8 * 14, 0xC6120063);  // not the launcher's address: a change to see
    _exit(0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(page.reg(14), 0xC6120063u);
  EXPECT_EQ(ctl_number("fiber-get 0 14"), 0xC6120063u);
  zt::sim_ctl("fiber-set 0 14 " + std::to_string(0xC6120001u));
  EXPECT_EQ(page.reg(14), 0xC6120001u);
}

TEST_F(CardTest, GlobalBlockIsOnePagePerDevice) {
  device dev, other;
  EXPECT_EQ(failure_errno([&] {
              return kvel_dev_mmap(dev.fd, 4096, PROT_READ, KVEL_MMAP_BLOCK_REGS) == MAP_FAILED;
            }),
            EINVAL)
      << "the block page before any block was allocated";
  EXPECT_EQ(failure_errno([&] { return dev.command(KVEL_GET_GLOBAL_BLOCK, 2) == -1; }), EINVAL);
  ASSERT_EQ(dev.command(KVEL_GET_GLOBAL_BLOCK, KVEL_BLOCK_GLOBAL), 0);
  ASSERT_EQ(other.command(KVEL_GET_GLOBAL_BLOCK, KVEL_BLOCK_GLOBAL), 0);
  mapping page(dev.fd, KVEL_MMAP_BLOCK_REGS, PROT_READ | PROT_WRITE);
  mapping seen(other.fd, KVEL_MMAP_BLOCK_REGS);
  ASSERT_TRUE(page.ok() && seen.ok());
  EXPECT_EQ(page.reg(2), ctl_number("global-get 0 2"));
  EXPECT_NE(page.reg(2), 0u);
  EXPECT_GT(page.reg(3), 1500000000u) << "synthesis time";
  page.set_reg(37, 1);
  EXPECT_EQ(seen.reg(37), 1u);
  EXPECT_EQ(ctl_number("global-get 0 37"), 1u);
  page.set_reg(37, 0);
}

TEST_F(CardTest, TimeModuleFollowsTheHostClock) {
  device dev;
  EXPECT_EQ(failure_errno([&] { return dev.command(KVEL_ALLOC_BLOCK, 67) == -1; }), EINVAL);
  ASSERT_EQ(dev.command(KVEL_ALLOC_BLOCK, KVEL_BLOCK_TIME), 0);
  EXPECT_EQ(failure_errno([&] {
              return kvel_dev_mmap(dev.fd, 4096, PROT_READ | PROT_WRITE, KVEL_MMAP_BLOCK_REGS) ==
                     MAP_FAILED;
            }),
            EACCES)
      << "the time module is read-only";
  mapping page(dev.fd, KVEL_MMAP_BLOCK_REGS);
  ASSERT_TRUE(page.ok());
  // Generous bounds: the simulator refreshes far more often, but a loaded machine may
  // hold its clock thread back for a while.
  constexpr uint64_t TOLERANCE_NS = 20000000;
  for (int i = 0; i < 100; ++i) {
    uint64_t before = realtime_ns();
    uint64_t card = card_time_to_ns(page.reg(2));
    uint64_t after = realtime_ns();
    ASSERT_GE(card + TOLERANCE_NS, before);
    ASSERT_LE(card, after);
    std::this_thread::sleep_for(100us);
  }
  // The clock moves on: a later read shows a later time (the thread may be held back
  // for a while, so wait for it rather than for a fixed pause).
  uint64_t first = card_time_to_ns(page.reg(2));
  std::this_thread::sleep_for(5ms);
  uint64_t later = card_time_to_ns(page.reg(2));
  for (int i = 0; i < 1000 && later < first + 4000000; ++i) {
    std::this_thread::sleep_for(1ms);
    later = card_time_to_ns(page.reg(2));
  }
  EXPECT_GE(later, first + 4000000);
}

TEST_F(CardTest, DescriptorRegions) {
  device dev;
  {
    mapping dma(dev.fd, KVEL_MMAP_DUMP_DMA, PROT_READ, KVEL_DUMP_DMA_SIZE);
    mapping status(dev.fd, KVEL_MMAP_LISTEN_STATUS);
    ASSERT_TRUE(dma.ok() && status.ok()) << strerror(errno);
    EXPECT_EQ(dma.reg(KVEL_DUMP_DMA_SIZE / 8 - 1), 0u);
    EXPECT_EQ(*static_cast<const volatile int*>(status.p), 0) << "pending connections";
  }
  struct case_t {
    long region;
    size_t len;
    int prot;
    int err;
  } refused[] = {
      {KVEL_MMAP_DUMP_DMA, KVEL_DUMP_DMA_SIZE, PROT_READ | PROT_WRITE, EACCES},
      {KVEL_MMAP_DUMP_DMA, 2 * KVEL_DUMP_DMA_SIZE, PROT_READ, EINVAL},
      {KVEL_MMAP_LISTEN_STATUS, 4096, PROT_READ | PROT_WRITE, EACCES},
      {KVEL_MMAP_FIBER_CONF, 8192, PROT_READ, EINVAL},
      {KVEL_MMAP_FIBER_CONF, 4096, PROT_READ | PROT_EXEC, EACCES},
      // A session's regions need a session.
      {KVEL_MMAP_REGS, 4096, PROT_READ, EINVAL},
      {KVEL_MMAP_TX_PIO, KVEL_TX_PIO_SIZE, PROT_WRITE, EINVAL},
      {KVEL_MMAP_RX_RING, 1 << 20, PROT_READ, EINVAL},
      {KVEL_MMAP_TX_FEEDBACK, 4096, PROT_READ, EINVAL},
      {KVEL_MMAP_TX_TIMESTAMPS, 1 << 18, PROT_READ, EINVAL},
      {0x7000, 4096, PROT_READ, EINVAL},
  };
  for (const case_t& c : refused) {
    SCOPED_TRACE(c.region);
    EXPECT_EQ(
        failure_errno([&] { return kvel_dev_mmap(dev.fd, c.len, c.prot, c.region) == MAP_FAILED; }),
        c.err);
  }
  char frame[2048];
  EXPECT_EQ(kvel_dev_read(dev.fd, frame, sizeof frame), 0) << "nothing waits on a fresh descriptor";
}

TEST_F(CardTest, TimeAddressOnlyForTheTimePort) {
  unsigned char addr[12] = {0x02, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0, 0};
  uint32_t ip = 0xC6120101;
  memcpy(addr + 8, &ip, sizeof ip);
  device dev;
  EXPECT_EQ(failure_errno([&] { return kvel_dev_ioctl(dev.fd, KVEL_SET_TIME_ADDR, addr) == -1; }),
            EINVAL);
  int fiber = 1;
  ASSERT_EQ(kvel_dev_ioctl(dev.fd, KVEL_GET_FIBER, &fiber), 0);
  EXPECT_EQ(kvel_dev_ioctl(dev.fd, KVEL_SET_TIME_ADDR, addr), 0);
  EXPECT_EQ(counter(1, "time_mac"), 0x02ABCDEF0123u);
  EXPECT_EQ(counter(1, "time_ip"), 0xC6120101u);
}

std::string sys_carrier(const char* ifname) {
  std::ifstream f(std::string("/sys/class/net/") + ifname + "/carrier");
  std::string v;
  f >> v;
  return v;
}

// The driver serves a port as an interface for the holder of its Ethernet session
// only, one session per port, and stops when that session goes.
TEST_F(CardTest, KernelEthernetNeedsTheEthernetSession) {
  device dev;
  EXPECT_EQ(failure_errno([&] {
              return kvel_dev_ioctl(dev.fd, KVEL_DEV_ENABLE_KERNEL_ETH, nullptr) == -1;
            }), EINVAL);
  {
    device holder;
    int port = 0;
    ASSERT_EQ(kvel_dev_ioctl(holder.fd, KVEL_ALLOC_ETH_SESSION, &port), 0);
    device second;
    EXPECT_EQ(failure_errno([&] {
                return kvel_dev_ioctl(second.fd, KVEL_ALLOC_ETH_SESSION, &port) == -1;
              }), ENOSPC);
    EXPECT_EQ(kvel_dev_ioctl(holder.fd, KVEL_DEV_ENABLE_KERNEL_ETH, nullptr), 0);
    EXPECT_EQ(counter(0, "kernel_eth"), 1u);
    mapping regs(holder.fd, KVEL_MMAP_REGS);
    ASSERT_TRUE(regs.ok());
    EXPECT_EQ((regs.reg(0) >> 24) & 0xFF, uint64_t('S'));
  }
  EXPECT_TRUE(eventually([] { return counter(0, "kernel_eth") == 0; }));
}

TEST_F(CardTest, CarrierCommandsDriveTheHostInterface) {
  device dev;
  ASSERT_EQ(kvel_dev_ioctl(dev.fd, KVEL_ETH_CARRIER_OFF, nullptr), 0);
  EXPECT_TRUE(eventually([] { return sys_carrier("kvel0") == "0"; }));
  EXPECT_EQ(counter(0, "carrier"), 0u);
  ASSERT_EQ(kvel_dev_ioctl(dev.fd, KVEL_ETH_CARRIER_ON, nullptr), 0);
  EXPECT_TRUE(eventually([] { return sys_carrier("kvel0") == "1"; }));
  EXPECT_EQ(counter(0, "carrier"), 1u);
  int fiber = 1;  // a port without TAPs has no interface to drive
  ASSERT_EQ(kvel_dev_ioctl(dev.fd, KVEL_GET_FIBER, &fiber), 0);
  EXPECT_EQ(
      failure_errno([&] { return kvel_dev_ioctl(dev.fd, KVEL_ETH_CARRIER_ON, nullptr) == -1; }),
      ENODEV);
}

TEST_F(CardTest, LinkFollowsTheWireUnlessForced) {
  device dev;
  mapping page(dev.fd, KVEL_MMAP_FIBER_CONF);
  ASSERT_TRUE(page.ok());
  auto link_is = [&](uint64_t status) {
    return eventually([&] { return page.reg(13) == status; });
  };
  EXPECT_TRUE(link_is(3));
  ASSERT_EQ(zt::peer_run("ip link set wire0 down").status, 0);
  EXPECT_TRUE(link_is(0)) << "link stayed up with the wire down";
  ASSERT_EQ(zt::sim_ctl("link 0 up").status, 0);
  EXPECT_EQ(page.reg(13), 3u) << "forcing takes effect before the command returns";
  ASSERT_EQ(zt::sim_ctl("link 0 auto").status, 0);
  EXPECT_EQ(page.reg(13), 0u);
  ASSERT_EQ(zt::peer_run("ip link set wire0 up").status, 0);
  EXPECT_TRUE(link_is(3));
  ASSERT_EQ(zt::sim_ctl("link 0 down").status, 0);
  EXPECT_EQ(page.reg(13), 0u);
  ASSERT_EQ(zt::sim_ctl("link 0 auto").status, 0);
  EXPECT_EQ(page.reg(13), 3u);
  EXPECT_NE(zt::sim_ctl("link 0 sideways").status, 0);
}

// A datagram socket in the peer's namespace, made by a helper thread that joins it.
int peer_udp_socket() {
  int fd = -1;
  std::thread([&] {
    int ns = open(getenv("ZORV_PEER_NETNS"), O_RDONLY | O_CLOEXEC);
    if (ns >= 0 && setns(ns, CLONE_NEWNET) == 0) fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (ns >= 0) close(ns);
  }).join();
  return fd;
}

sockaddr_in ipv4(const char* addr, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, addr, &a.sin_addr);
  return a;
}

void set_receive_timeout(int fd, std::chrono::milliseconds t) {
  timeval tv{time_t(t.count() / 1000), suseconds_t(t.count() % 1000 * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

TEST_F(CardTest, FramesCrossTheWireWhileTheLinkIsUp) {
  int peer = peer_udp_socket();
  int host = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(peer, 0);
  sockaddr_in peer_addr = ipv4("198.18.0.2", 7000), host_addr = ipv4("198.18.0.1", 7001);
  ASSERT_EQ(bind(peer, reinterpret_cast<sockaddr*>(&peer_addr), sizeof peer_addr), 0);
  ASSERT_EQ(bind(host, reinterpret_cast<sockaddr*>(&host_addr), sizeof host_addr), 0);
  set_receive_timeout(peer, 3000ms);
  set_receive_timeout(host, 3000ms);
  uint64_t to_wire = counter(0, "to_wire_frames"), to_host = counter(0, "to_host_frames");

  char buf[64] = {};
  ASSERT_EQ(sendto(host, "ping", 4, 0, reinterpret_cast<sockaddr*>(&peer_addr), sizeof peer_addr),
            4);
  ASSERT_EQ(recv(peer, buf, sizeof buf, 0), 4);
  EXPECT_EQ(std::string(buf, 4), "ping");
  ASSERT_EQ(sendto(peer, "pong", 4, 0, reinterpret_cast<sockaddr*>(&host_addr), sizeof host_addr),
            4);
  ASSERT_EQ(recv(host, buf, sizeof buf, 0), 4);
  EXPECT_EQ(std::string(buf, 4), "pong");
  EXPECT_GT(counter(0, "to_wire_frames"), to_wire);
  EXPECT_GT(counter(0, "to_host_frames"), to_host);

  ASSERT_EQ(zt::sim_ctl("link 0 down").status, 0);
  uint64_t dropped = counter(0, "drop_link_down");
  set_receive_timeout(peer, 300ms);
  ASSERT_EQ(sendto(host, "lost", 4, 0, reinterpret_cast<sockaddr*>(&peer_addr), sizeof peer_addr),
            4);
  EXPECT_EQ(recv(peer, buf, sizeof buf, 0), -1) << "a frame crossed a link that is down";
  EXPECT_GT(counter(0, "drop_link_down"), dropped);
  zt::sim_ctl("link 0 auto");
  close(host);
  close(peer);
}

TEST_F(CardTest, NothingLeaksAcrossOpenMapClose) {
  auto cycle = [] {
    device dev;
    dev.command(KVEL_GET_GLOBAL_BLOCK, KVEL_BLOCK_GLOBAL);
    mapping global(dev.fd, KVEL_MMAP_BLOCK_REGS);
    dev.command(KVEL_ALLOC_BLOCK, KVEL_BLOCK_TIME);
    mapping time(dev.fd, KVEL_MMAP_BLOCK_REGS);
    mapping fiber(dev.fd, KVEL_MMAP_FIBER_CONF);
    mapping dma(dev.fd, KVEL_MMAP_DUMP_DMA, PROT_READ, KVEL_DUMP_DMA_SIZE);
    mapping status(dev.fd, KVEL_MMAP_LISTEN_STATUS);
    mapping refused(dev.fd, 0x7000);
    EXPECT_TRUE(global.ok() && time.ok() && fiber.ok() && dma.ok() && status.ok() && !refused.ok());
    int khz;
    kvel_dev_ioctl(dev.fd, KVEL_TSC_KHZ, &khz);
  };
  cycle();
  std::set<std::string> fds = open_fds(), maps = memfd_mappings();
  for (int i = 0; i < 20; ++i) cycle();
  EXPECT_EQ(open_fds(), fds);
  EXPECT_EQ(memfd_mappings(), maps);
}

TEST_F(CardTest, NodeThatIsNotASimulator) {
  std::string file = "/tmp/kvel_dev_test_file", stale = "/tmp/kvel_dev_test_stale";
  std::ofstream(file) << "not a device";
  int s = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, stale.c_str());
  unlink(stale.c_str());
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(s);  // the node stays, nobody listens
  struct case_t {
    std::string path;
    int err;
  } cases[] = {{"/dev/zorvnic_none", ENOENT}, {file, ENODEV}, {stale, ENODEV}};
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(failure_errno([&] { return kvel_dev_open(c.path.c_str()) == -1; }), c.err);
  }
  unlink(file.c_str());
  unlink(stale.c_str());
}

// A character device gets the plain system calls; /dev/null stands in for the driver.
TEST_F(CardTest, CharacterDeviceGetsPlainSystemCalls) {
  for (bool cloexec : {true, false}) {
    int fd = kvel_dev_open("/dev/null", cloexec);
    ASSERT_GE(fd, 0);
    EXPECT_EQ((fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0, cloexec);
    EXPECT_EQ(failure_errno([&] { return kvel_dev_ioctl(fd, KVEL_DEV_PROBE, nullptr) == -1; }),
              ENOTTY);
    char buf[16];
    EXPECT_EQ(kvel_dev_read(fd, buf, sizeof buf), 0);
    EXPECT_EQ(failure_errno([&] {
                return kvel_dev_mmap(fd, 4096, PROT_READ, KVEL_MMAP_FIBER_CONF) == MAP_FAILED;
              }),
              ENODEV);
    EXPECT_EQ(kvel_dev_close(fd), 0);
  }
  device sim(DEV0);
  EXPECT_NE(fcntl(sim.fd, F_GETFD) & FD_CLOEXEC, 0)
      << "a simulator connection is always close-on-exec";
}

// A simulator that stops answering fails the call with ETIMEDOUT within the limit;
// once it answers again the late reply is not mistaken for the next one's.
TEST_F(CardTest, StalledSimulatorTimesOut) {
  device dev;
  int khz = 0;
  ASSERT_EQ(kvel_dev_ioctl(dev.fd, KVEL_TSC_KHZ, &khz), 0);
  ASSERT_EQ(zt::sim_ctl("stall " + std::to_string(kvel_dev_timeout_ms + 3000)).status, 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(failure_errno([&] { return kvel_dev_ioctl(dev.fd, KVEL_DEV_PROBE, nullptr) == -1; }),
            ETIMEDOUT);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(kvel_dev_timeout_ms - 100));
  EXPECT_LT(waited, std::chrono::milliseconds(kvel_dev_timeout_ms + 2000));
  ASSERT_EQ(zt::sim_ctl("stall 0").status, 0);
  khz = 0;
  EXPECT_EQ(kvel_dev_ioctl(dev.fd, KVEL_TSC_KHZ, &khz), 0);
  EXPECT_EQ(khz, 2400000);
}

// Raw messages on a node connection: a request whose header cannot be trusted ends
// the connection, one with a header gets a refusal, and the simulator goes on. A write
// event wants no reply, so one that names no register ends the connection as well.
int raw_connection() {
  int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, DEV0);
  EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  set_receive_timeout(s, 3000ms);
  return s;
}

TEST_F(CardTest, MalformedRequestsAreRefused) {
  auto header = [](uint32_t op, uint64_t a0, uint64_t a1, uint32_t len) {
    return sim_request{SIM_PROTO_MAGIC, op, 42, a0, a1, PROT_READ, len, 0};
  };
  struct case_t {
    const char* what;
    sim_request head;
    size_t extra;  // data bytes actually sent after the header
    int err;       // 0: the connection is closed instead
  } cases[] = {
      {"short ioctl argument", header(SIM_OP_IOCTL, KVEL_ALLOC_BLOCK, 0, 2), 2, EINVAL},
      {"argument for a command without one", header(SIM_OP_IOCTL, KVEL_DEV_PROBE, 0, 4), 4, EINVAL},
      {"length field beyond the data", header(SIM_OP_IOCTL, KVEL_ALLOC_BLOCK, 0, 4000), 4,
       EMSGSIZE},
      {"more data than any request holds", header(SIM_OP_IOCTL, 0xFFFF4200, 0, 0), SIM_MAX_DATA + 8,
       EMSGSIZE},
      {"data with a mapping", header(SIM_OP_MMAP, KVEL_MMAP_FIBER_CONF, 4096, 4), 4, EINVAL},
      {"huge read", header(SIM_OP_READ, 1ull << 40, 0, 0), 0, EINVAL},
      {"register of an unknown mapping", header(SIM_OP_REG_READ, 12345, 16, 0), 0, EINVAL},
      {"unknown operation", header(99, 0, 0, 0), 0, EINVAL},
      {"bad magic", {0x1234, SIM_OP_IOCTL, 42, KVEL_DEV_PROBE, 0, 0, 0, 0}, 0, 0},
  };
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.what);
    int s = raw_connection();
    std::vector<unsigned char> msg(sizeof c.head + c.extra, 0);
    memcpy(msg.data(), &c.head, sizeof c.head);
    ASSERT_EQ(send(s, msg.data(), msg.size(), 0), ssize_t(msg.size()));
    sim_reply rep{};
    ssize_t n = recv(s, &rep, sizeof rep, 0);
    if (c.err == 0) {
      EXPECT_EQ(n, 0) << "connection kept";
    } else {
      ASSERT_EQ(n, ssize_t(sizeof rep));
      EXPECT_EQ(rep.seq, 42u);
      EXPECT_EQ(rep.result, -1);
      EXPECT_EQ(rep.err, c.err);
      EXPECT_EQ(rep.len, 0u);
    }
    close(s);
  }
  int s = raw_connection();
  ASSERT_EQ(send(s, "tiny", 4, 0), 4);
  char buf[64];
  EXPECT_EQ(recv(s, buf, sizeof buf, 0), 0) << "a message shorter than a header was answered";
  close(s);
  device dev;
  EXPECT_EQ(kvel_dev_ioctl(dev.fd, KVEL_DEV_PROBE, nullptr), 0);
}

// A simulator of the test's own, on a node of its own, so that it can be ended.
struct private_simulator {
  std::string conf = "/tmp/kvel_dev_private.conf", ctl = "/tmp/kvel_dev_private.ctl";
  std::string node = "/dev/zorvnic_private";
  pid_t pid = -1;

  bool start() {
    std::ofstream(conf) << "device private\nport kvel_9_0 tap=-\n";
    const char* sim = getenv("ZORV_SIM");
    if (!sim) return false;
    pid = fork();
    if (pid == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      execl(sim, sim, "--config", conf.c_str(), "--ctl", ctl.c_str(), nullptr);
      _exit(127);
    }
    std::string ping = std::string(sim) + " ctl --ctl " + ctl + " ping";
    return eventually([&] { return zt::run(ping).out == "ok\n"; }, 10000ms);
  }
  int stop(int sig) {
    int status = -1;
    kill(pid, sig);
    waitpid(pid, &status, 0);
    pid = -1;
    return status;
  }
  ~private_simulator() {
    if (pid > 0) stop(SIGKILL);
    unlink(conf.c_str());
    unlink(node.c_str());
    unlink(ctl.c_str());
  }
};

TEST_F(CardTest, VanishedSimulatorFailsCallsWithNoDevice) {
  private_simulator sim;
  ASSERT_TRUE(sim.start());
  int fd = kvel_dev_open(sim.node.c_str());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(kvel_dev_ioctl(fd, KVEL_DEV_PROBE, nullptr), 0);
  void* page = kvel_dev_mmap(fd, KVEL_PAGE_SIZE, PROT_READ, KVEL_MMAP_FIBER_CONF);
  ASSERT_NE(page, MAP_FAILED);
  sim.stop(SIGKILL);

  char buf[64];
  EXPECT_EQ(failure_errno([&] { return kvel_dev_ioctl(fd, KVEL_DEV_PROBE, nullptr) == -1; }),
            ENODEV);
  EXPECT_EQ(failure_errno([&] { return kvel_dev_ioctl(fd, KVEL_DEV_PORT_NAME, buf) == -1; }),
            ENODEV);
  EXPECT_EQ(failure_errno([&] {
              return kvel_dev_mmap(fd, 4096, PROT_READ, KVEL_MMAP_FIBER_CONF) == MAP_FAILED;
            }),
            ENODEV);
  EXPECT_EQ(failure_errno([&] { return kvel_dev_read(fd, buf, sizeof buf) == -1; }), ENODEV);
  EXPECT_EQ(mmio_read64(page, 0), 0x10000200u) << "an existing mapping stays readable";
  EXPECT_EQ(kvel_dev_munmap(page, KVEL_PAGE_SIZE), 0);
  EXPECT_EQ(kvel_dev_close(fd), 0);
  EXPECT_EQ(failure_errno([&] { return kvel_dev_open(sim.node.c_str()) == -1; }), ENODEV)
      << "node left behind";
}

TEST_F(CardTest, StoppedSimulatorRemovesItsNodes) {
  private_simulator sim;
  ASSERT_TRUE(sim.start());
  int status = sim.stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(access(sim.node.c_str(), F_OK), 0);
  EXPECT_NE(access(sim.ctl.c_str(), F_OK), 0);
}

TEST_F(CardTest, ControlCommands) {
  struct case_t {
    const char* command;
    int status;
    const char* out;
  } cases[] = {
      {"ping", 0, "ok\n"},
      {"ports", 0,
       "0 0 0 kvel0 kvel0 wire0 02:5A:00:00:00:00\n"
       "1 0 1 kvel1 - - 02:11:22:33:44:55\n"
       "2 1 0 kvel_1_0 - - 02:5A:00:00:01:02\n"},
      {"fiber-set 2 0x2b -5", 0, "ok\n"},
      {"fiber-get 2 43", 0, "0xfffffffffffffffb\n"},
      {"fiber-set 2 43 0", 0, "ok\n"},
      {"global-set 1 37 7", 0, "ok\n"},
      {"global-get 1 0x25", 0, "0x0000000000000007\n"},
      {"global-set 1 37 0", 0, "ok\n"},
      {"fiber-get 3 0", 1, "no port 3\n"},
      {"fiber-get 0 512", 1, "bad register 512\n"},
      {"fiber-set 0 14 many", 1, "bad value many\n"},
      {"global-get 7 2", 1, "no device 7\n"},
      {"counters 9", 1, "no port 9\n"},
      {"stall soon", 1, "bad stall time soon\n"},
      {"link 0", 1, "usage: link <k> up|down|auto\n"},
      {"reboot", 1, "unknown command reboot\n"},
  };
  for (const case_t& c : cases) {
    zt::cmd_result r = zt::sim_ctl(c.command);
    EXPECT_EQ(r.status, c.status) << c.command;
    EXPECT_EQ(r.out, c.out) << c.command;
  }
  zt::cmd_result all = zt::sim_ctl("counters");
  EXPECT_NE(all.out.find("port2.drop_link_down 0\n"), std::string::npos) << all.out;
}

TEST_F(CardTest, BadConfigurationIsRefusedClearly) {
  struct case_t {
    const char* text;
    const char* message;
  } cases[] = {
      {"", "no device line"},
      {"port kvel0\n", ":1: port before any device line"},
      {"gadget 0\n", ":1: unknown line"},
      {"device a/b\n", "bad device id"},
      {"device 0 tsc_khz=-1\n", "bad value for tsc_khz"},
      {"device 0\n# comment\nport kvel0\nport kvel0 speed=1\n", ":4: port kvel0 given twice"},
      {"device 0\nport kvel0 mac=02:00:00\n", "bad mac"},
      {"device 0\nport kvel0 speed=fast\n", "bad value for speed"},
      {"device 0\nport kvel0 colour=red\n", "unknown port option"},
      {"device 0\nport kvel0 wire\n", "expected key=value"},
      {"device 0\nport kvel0 tap=a_name_of_16chars\n", "bad tap name"},
      {"device 0\nport kvel0 tx_delay_ps=4294967296\n", "bad value for tx_delay_ps"},
      {"device 0\nport a tap=-\nport b tap=-\nport c tap=-\nport d tap=-\nport e tap=-\nport f "
       "tap=-\n"
       "port g tap=-\nport h tap=-\nport i tap=-\nport j tap=-\nport k tap=-\nport l tap=-\n"
       "port m tap=-\nport n tap=-\nport o tap=-\nport p tap=-\nport q tap=-\n",
       "more than 16 ports"},
  };
  std::string conf = "/tmp/kvel_dev_bad.conf";
  std::string sim = getenv("ZORV_SIM") ? getenv("ZORV_SIM") : "zorvnic_sim";
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.text);
    std::ofstream(conf) << c.text;
    zt::cmd_result r = zt::run(sim + " --config " + conf + " --ctl /tmp/kvel_dev_bad.ctl");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
  }
  zt::cmd_result missing = zt::run(sim + " --config /tmp/no_such.conf");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("cannot open"), std::string::npos) << missing.out;
  EXPECT_EQ(zt::run(sim + " --wire-netns /proc/self/ns/net").status, 1) << "no --config";
  unlink(conf.c_str());
}

}  // namespace
