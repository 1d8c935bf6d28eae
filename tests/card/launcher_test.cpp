// What the test launcher promises every card test: a private host with its own /tmp,
// /etc/vyx and /dev, the simulator answering, port 0 addressed on both sides, a peer
// namespace of its own, and CMD's exit status passed on.
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fiber_fixture.h"
#include "test_support.h"

namespace {

struct Launcher : ::testing::Test {
  void SetUp() override { ZT_REQUIRE_LAUNCHED(); }
};

bool on_tmpfs(const char* path) {
  struct statfs fs {};
  return statfs(path, &fs) == 0 && fs.f_type == TMPFS_MAGIC;
}

TEST_F(Launcher, PrivateFilesystems) {
  EXPECT_TRUE(on_tmpfs("/tmp"));
  EXPECT_TRUE(on_tmpfs("/etc/vyx"));
  EXPECT_TRUE(on_tmpfs("/dev"));
  EXPECT_TRUE(on_tmpfs("/dev/shm"));
  for (const char* node : {"/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom",
                           "/dev/tty", "/dev/net/tun", "/dev/ptmx"}) {
    struct stat st {};
    EXPECT_EQ(stat(node, &st), 0) << node;
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << node;
  }
  EXPECT_EQ(access("/dev/pts", F_OK), 0);
  // Nothing of the machine's other device nodes.
  EXPECT_NE(access("/dev/vda", F_OK), 0);
  EXPECT_EQ(zt::run("ls /dev | grep -c '^tty[0-9]'").out, "0\n");
}

// Terminals of the launch's own (tmux and openpty need them): the first one is number 0
// of a devpts instance that shows none of the machine's terminals.
TEST_F(Launcher, TerminalsComeFromADevptsInstanceOfItsOwn) {
  struct statfs fs {};
  ASSERT_EQ(statfs("/dev/pts", &fs), 0);
  EXPECT_EQ(fs.f_type, DEVPTS_SUPER_MAGIC);
  int master = -1, slave = -1;
  char name[64] = {};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0) << strerror(errno);
  EXPECT_STREQ(name, "/dev/pts/0");
  EXPECT_EQ(zt::run("ls /dev/pts").out, "0\nptmx\n");
  close(slave);
  close(master);
}

TEST_F(Launcher, PortZeroIsAddressedOnBothSides) {
  zt::cmd_result host = zt::run("ip -o -4 addr show dev kvel0 up");
  EXPECT_NE(host.out.find("198.18.0.1/24"), std::string::npos) << host.out;
  zt::cmd_result peer = zt::peer_run("ip -o -4 addr show dev wire0 up");
  EXPECT_NE(peer.out.find("198.18.0.2/24"), std::string::npos) << peer.out;
  // The wire lives only in the peer, the port only here.
  EXPECT_NE(zt::run("ip link show dev wire0").status, 0);
  EXPECT_NE(zt::peer_run("ip link show dev kvel0").status, 0);
  EXPECT_EQ(zt::run("zorv_peer ip -o link show dev wire0").status, 0);
}

// As the daemon would: the card sends from the port's address.
TEST_F(Launcher, PortAddressIsInItsFiberPage) {
  EXPECT_EQ(zt::fiber_get(0, 14), 0xC6120001u);  // 198.18.0.1
  EXPECT_EQ(zt::fiber_get(0, 15), 0xFFFFFF00u);
  EXPECT_EQ(zt::fiber_get(0, 1), 1u);  // applied
}

// The daemon's tests leave the fiber page and the carrier to the daemon.
TEST_F(Launcher, DaemonOptionsLeaveFiberAddressAndCarrier) {
  const std::string fiber = "zorvnic_sim ctl --ctl $ZORV_SIM_CTL fiber-get 0 ";
  struct {
    const char* options;
    const char* expect;
  } cases[] = {
      {"", "0x00000000c6120001 0x00000000ffffff00 carrier-up"},
      {"--no-fiber-ip", "0x0000000000000000 0x0000000000000000 carrier-up"},
      {"--carrier-off", "0x00000000c6120001 0x00000000ffffff00 carrier-down"},
      {"--no-fiber-ip --carrier-off", "0x0000000000000000 0x0000000000000000 carrier-down"},
  };
  for (const auto& c : cases) {
    const std::string inner =
        "echo $(" + fiber + "14) $(" + fiber + "15) "
        "$(ip link show dev kvel0 | grep -q NO-CARRIER && echo carrier-down || echo carrier-up)";
    zt::cmd_result r = zt::run(std::string("zorv_launch ") + c.options +
                               " -- sh -c 'PATH=$(dirname $ZORV_SIM):$PATH; " + inner + "'");
    EXPECT_EQ(r.status, 0) << c.options << ": " << r.out;
    EXPECT_EQ(r.out, std::string(c.expect) + "\n") << c.options;
  }
}

TEST_F(Launcher, PeerIsAnotherNetworkNamespace) {
  std::string own = zt::run("readlink /proc/self/ns/net").out;
  std::string peer = zt::run(std::string("readlink ") + getenv("ZORV_PEER_NETNS")).out;
  EXPECT_NE(own, peer);
  EXPECT_EQ(zt::run(std::string("readlink /proc/") + getenv("ZORV_PEER_PID") + "/ns/net").out,
            peer);
  EXPECT_EQ(zt::peer_run("ip -o link show dev lo up").status, 0);
}

TEST_F(Launcher, SimulatorAnswers) {
  zt::cmd_result r = zt::sim_ctl("ping");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "ok\n");
}

TEST_F(Launcher, ExitStatusAndSetUpFailures) {
  EXPECT_EQ(zt::run("zorv_launch --no-sim -- sh -c 'exit 7'").status, 7);
  EXPECT_EQ(zt::run("zorv_launch --no-sim -- true").status, 0);
  // A simulator that cannot start, a configuration that cannot be read, no command.
  EXPECT_NE(zt::run("zorv_launch --sim /bin/false -- true").status, 0);
  EXPECT_NE(zt::run("zorv_launch --config /nonexistent.conf -- true").status, 0);
  EXPECT_NE(zt::run("zorv_launch --no-sim --").status, 0);
}

TEST_F(Launcher, NestedLaunchSeesNothingOfThisOne) {
  ASSERT_EQ(zt::run("touch /tmp/launcher_test_mark /etc/vyx/launcher_test_mark").status, 0);
  EXPECT_EQ(zt::run("zorv_launch --no-sim -- sh -c "
                    "'! ls /tmp/launcher_test_mark /etc/vyx/launcher_test_mark && "
                    "! ip link show dev kvel0'")
                .status,
            0);
}

}  // namespace
