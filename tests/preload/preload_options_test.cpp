// Socket options of ordinary programs on sockets that the card serves, under both
// preload libraries, against Linux peers in the peer namespace: the option tables as
// cases, the blocking timeouts beside the kernel's answers, the TTLs as the peer sees
// them on the wire, and multicast membership in both forms.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>

#include "test_support.h"

namespace {

using namespace std::chrono_literals;

constexpr char card_ip[] = "198.18.0.1";
constexpr char peer_ip[] = "198.18.0.2";
constexpr char group[] = "239.1.2.3";

uint64_t counter(const std::string& name) { return uint64_t(zt::sim_counter(name)); }


// An option_peer.py in the peer namespace, ready before the constructor returns and
// ended by its process id.
struct peer_program {
  std::string pid_file;

  peer_program(const std::string& dir, const std::string& args) {
    static int n = 0;
    const std::string ready = dir + "/ready" + std::to_string(++n);
    pid_file = dir + "/peer" + std::to_string(n) + ".pid";
    zt::peer_run("READY=" + ready + " /usr/bin/python3 " ZL_OPTION_PEER " " + args + " >>" + dir +
                 "/peer.log 2>&1 & echo $! >" + pid_file);
    for (int i = 0; i < 600 && access(ready.c_str(), F_OK) != 0; ++i) std::this_thread::sleep_for(50ms);
  }
  ~peer_program() { zt::run("kill $(cat " + pid_file + ")"); }
};

// A case's scratch directory, where the helper runs and the peers write.
struct scratch {
  std::string path;
  scratch() {
    char tmpl[] = "/tmp/zorvload_opt.XXXXXX";
    path = mkdtemp(tmpl) != nullptr ? tmpl : "/tmp";
  }
  ~scratch() { if (path != "/tmp") zt::run("rm -rf " + path); }
};

class Options : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { ZT_REQUIRE_LAUNCHED(); }

  // The helper with args, under the case's library or (preloaded false) without one.
  zt::cmd_result helper(bool preloaded, const std::string& args) const {
    const std::string library = std::string(ZL_LIB_DIR) + "/" + GetParam();
    const std::string preload = preloaded ? "LD_PRELOAD=" ZL_PRELOAD_PREFIX + library + " " ZL_ENV_EXTRA : "";
    zt::cmd_result r = zt::run("cd " + dir_ + " && NOTRACE=1 " + preload + " timeout 120 " ZL_OPTION_HELPER " " + args);
    r.out = zt::without_routine_line(r.out);
    return r;
  }
  // Each library and case has its own ports, so that a peer of one run never meets the next.
  std::string port(int n) const {
    return std::to_string((std::string(GetParam()) == "libzorvload.so" ? 19400 : 19500) + n);
  }
  std::string addresses(int n) const {
    return std::string(card_ip) + " " + peer_ip + " " + port(n);
  }

  scratch scratch_;
  const std::string& dir_ = scratch_.path;
};

INSTANTIATE_TEST_SUITE_P(Both, Options, ::testing::Values("libzorvload.so", "libzorvload_unsafe.so"),
                         [](const auto& info) {
                           return std::string(info.param) == "libzorvload.so" ? "locked" : "unsafe";
                         });

TEST_P(Options, TablesOfCases) {
  peer_program sink(dir_, "sink " + std::string(peer_ip) + " " + port(0));
  auto r = helper(true, "table " + addresses(0));
  EXPECT_EQ(r.status, 0) << r.out;
}

TEST_P(Options, BlockingCallsEndAtTheirTimeoutsAsTheKernelsDo) {
  peer_program sink(dir_, "sink " + std::string(peer_ip) + " " + port(10));
  const std::string table = "zorvload_opt" + port(10);
  ASSERT_EQ(zt::peer_run("nft add table inet " + table + " && nft add chain inet " + table +
                         " in '{ type filter hook input priority 0; }' && nft add rule inet " +
                         table + " in tcp dport " + port(13) + " drop").status, 0);
  auto kernel = helper(false, "timeouts " + addresses(10));
  ASSERT_EQ(kernel.status, 0) << kernel.out;
  EXPECT_EQ(kernel.out.find("NOT AT"), std::string::npos) << kernel.out;
  const uint64_t tx0 = counter("tcp_tx_bytes");
  auto card = helper(true, "timeouts " + addresses(10));
  EXPECT_EQ(card.status, 0);
  EXPECT_EQ(card.out, kernel.out);
  EXPECT_GT(counter("tcp_tx_bytes"), tx0);
  zt::peer_run("nft delete table inet " + table);
}

TEST_P(Options, TtlsReachTheWire) {
  const std::string log = dir_ + "/ttl.log";
  peer_program logger(dir_, "ttl " + std::string(peer_ip) + " " + port(20) + " " + group + " " + log);
  const std::string args = "ttl " + addresses(20) + " " + group + " " + log;
  const uint64_t tx0 = counter("udp_tx_frames");
  auto card = helper(true, args);
  EXPECT_EQ(card.status, 0);
  EXPECT_EQ(card.out, "set-before-bind 9\nunicast 7\nmulticast 3\n");
  EXPECT_GE(counter("udp_tx_frames") - tx0, 3u);
}

class Membership : public Options {};
INSTANTIATE_TEST_SUITE_P(Both, Membership, ::testing::Values("libzorvload.so", "libzorvload_unsafe.so"),
                         [](const auto& info) {
                           return std::string(info.param) == "libzorvload.so" ? "locked" : "unsafe";
                         });

TEST_P(Membership, ByAddressAndByInterfaceIndex) {
  int n = 30;
  for (const char* form : {"addr", "index"}) {
    SCOPED_TRACE(form);
    const std::string log = dir_ + "/" + form + ".log";
    peer_program sender(dir_, "mcast " + std::string(peer_ip) + " " + port(n) + " " + group);
    peer_program logger(dir_, "ttl " + std::string(peer_ip) + " " + port(n + 1) + " 239.9.9.9 " + log);
    const uint64_t rx0 = counter("udp_rx_delivered");
    auto card = helper(true, "member " + addresses(n) + " " + group + " " + form);
    EXPECT_EQ(card.status, 0);
    EXPECT_EQ(card.out,
              "join on a bound socket: 0\nbound socket receives: group datagram\n"
              "join on a connected socket: 0\nsend after join: 10\n"
              "connected socket receives: group datagram\n");
    EXPECT_GT(counter("udp_rx_delivered") - rx0, 1u);
    auto seen = zt::run("cat " + log);
    EXPECT_EQ(seen.out.substr(0, 11), "after-join ") << seen.out;
    n += 2;
  }
}

}  // namespace
