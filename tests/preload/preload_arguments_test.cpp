// Calls whose answer the kernel gives, under both preload libraries: sockets the card
// does not serve yet answer their options and listen as the kernel does, bad arguments
// on card sockets (a TCP connection to the Linux peer, a listener and the connection it
// accepts among them) and emulated descriptors get the kernel's errno, and options the
// card has no use for read back as set. The same program runs without a library, and
// its output is the expected one.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <unistd.h>

#include "helper_runs.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

// A data_peer.py TCP server in the peer namespace, listening before the constructor
// returns, ended by its process id.
struct tcp_peer {
  std::string pid_file;

  tcp_peer(const std::string& dir, int port) : pid_file(dir + "/peer.pid") {
    const std::string ready = dir + "/ready";
    zt::peer_run("READY=" + ready + " /usr/bin/python3 " ZL_DATA_PEER " tcp 198.18.0.2 " +
                 std::to_string(port) + " >" + dir + "/peer.log 2>&1 & echo $! >" + pid_file);
    for (int i = 0; i < 600 && access(ready.c_str(), F_OK) != 0; ++i) std::this_thread::sleep_for(50ms);
  }
  ~tcp_peer() { zt::peer_run("kill $(cat " + pid_file + ")"); }
};

class Arguments : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ZT_REQUIRE_LAUNCHED();
    ASSERT_TRUE(runs_.make("zorvload_args"));
  }
  void TearDown() override { runs_.remove(); }

  // The program's output (under a library without its routine line).
  zt::cmd_result helper(bool preloaded, const std::string& args) const {
    return runs_.run(preloaded ? GetParam() : nullptr, ZL_ARG_HELPER, args);
  }

  // The mode's output under the library is the plain run's.
  void same_as_kernel(const std::string& args) const {
    auto kernel = helper(false, args);
    ASSERT_EQ(kernel.status, 0) << kernel.out;
    auto preloaded = helper(true, args);
    EXPECT_EQ(preloaded.status, 0);
    EXPECT_EQ(preloaded.out, kernel.out);
  }

  // Each library has its own ports, so that a connection of one run still ending never
  // meets the next.
  int port() const { return std::string(GetParam()) == "libzorvload.so" ? 19600 : 19610; }

  helper_runs runs_;
  const std::string& dir_ = runs_.dir;
};

INSTANTIATE_TEST_SUITE_P(Both, Arguments, ::testing::Values("libzorvload.so", "libzorvload_unsafe.so"),
                         [](const auto& info) {
                           return std::string(info.param) == "libzorvload.so" ? "locked" : "unsafe";
                         });

TEST_P(Arguments, SocketsNotOnTheCardAnswerAsTheKernelDoes) { same_as_kernel("undecided"); }

TEST_P(Arguments, BadArgumentsGetTheKernelsAnswer) { same_as_kernel("bad 198.18.0.1"); }

TEST_P(Arguments, BadArgumentsOnTcpConnectionsAndListenersGetTheKernelsAnswer) {
  tcp_peer peer(dir_, port());
  same_as_kernel("tcp 198.18.0.1 198.18.0.2 " + std::to_string(port()));
}

}  // namespace
