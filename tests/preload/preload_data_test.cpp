// The receive and send calls of ordinary programs on sockets that the card serves, under
// both preload libraries, against Linux peers in the peer namespace: every call's answer
// is the one the kernel gives the same program without a preload library, and the
// simulator's counters show that the card carried the traffic.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>

#include "test_support.h"

namespace {

using namespace std::chrono_literals;

uint64_t counter(const std::string& name) {
  zt::cmd_result r = zt::sim_ctl("counters 0");
  size_t at = ("\n" + r.out).find("\n" + name + " ");
  EXPECT_NE(at, std::string::npos) << name << " missing in:\n" << r.out;
  return at == std::string::npos ? 0 : strtoull(r.out.c_str() + at + name.size() + 1, nullptr, 0);
}

// A data_peer.py server in the peer namespace, listening before the constructor returns.
struct peer_server {
  int port;
  std::string ready;

  peer_server(const std::string& kind, int p, const std::string& dir) : port(p) {
    ready = dir + "/ready-" + kind + std::to_string(p);
    zt::peer_run("READY=" + ready + " /usr/bin/python3 " ZL_DATA_PEER " " + kind +
                 " 198.18.0.2 " + std::to_string(p) + " >" + dir + "/peer-" + kind + ".log 2>&1 &");
    for (int i = 0; i < 600 && access(ready.c_str(), F_OK) != 0; ++i) std::this_thread::sleep_for(50ms);
  }
  ~peer_server() { zt::peer_run("pkill -f 'data_peer.py [a-z]* 198.18.0.2 " + std::to_string(port) + "'"); }
};

class DataCalls : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ZT_REQUIRE_LAUNCHED();
    char tmpl[] = "/tmp/zorvload_data.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { zt::run("rm -rf " + dir_); }

  // The program's output; under a library without the line in which the library names
  // the TX write routine it chose.
  zt::cmd_result helper(bool preloaded, const std::string& args) const {
    std::string env = "NOTRACE=1 ";
    if (preloaded)
      env += "LD_PRELOAD=" ZL_PRELOAD_PREFIX + std::string(ZL_LIB_DIR) + "/" + GetParam() + " " ZL_ENV_EXTRA " ";
    zt::cmd_result r = zt::run("cd " + dir_ + " && timeout 120 env " + env + ZL_DATA_HELPER " " + args);
    const std::string chosen = "Using CPU feat: ";
    for (size_t at; (at = r.out.find(chosen)) != std::string::npos;)
      r.out.erase(at, r.out.find('\n', at) + 1 - at);
    return r;
  }
  // The port of a case: each library and case has its own, so that a server of one run
  // still ending never meets the next.
  int port(int n) const { return (std::string(GetParam()) == "libzorvload.so" ? 19000 : 19100) + n; }

  std::string dir_;
};

INSTANTIATE_TEST_SUITE_P(Both, DataCalls, ::testing::Values("libzorvload.so", "libzorvload_unsafe.so"),
                         [](const auto& info) {
                           return std::string(info.param) == "libzorvload.so" ? "locked" : "unsafe";
                         });

TEST_P(DataCalls, TcpCallsAnswerAsTheKernelDoes) {
  peer_server peer("tcp", port(0), dir_);
  const std::string args = "tcp 198.18.0.2 " + std::to_string(peer.port);
  auto kernel = helper(false, args);
  ASSERT_EQ(kernel.status, 0) << kernel.out;
  const uint64_t rx0 = counter("tcp_rx_delivered"), tx0 = counter("tcp_tx_bytes");
  auto card = helper(true, args);
  EXPECT_EQ(card.status, 0);
  EXPECT_EQ(card.out, kernel.out);
  EXPECT_GT(counter("tcp_rx_delivered"), rx0);
  EXPECT_GT(counter("tcp_tx_bytes") - tx0, uint64_t(8 << 20));
}

TEST_P(DataCalls, UdpCallsAnswerAsTheKernelDoes) {
  peer_server peer("udp", port(10), dir_);
  const std::string args = "udp 198.18.0.2 " + std::to_string(peer.port);
  auto kernel = helper(false, args);
  ASSERT_EQ(kernel.status, 0) << kernel.out;
  const uint64_t rx0 = counter("udp_rx_delivered"), tx0 = counter("udp_tx_frames");
  auto card = helper(true, args);
  EXPECT_EQ(card.status, 0);
  EXPECT_EQ(card.out, kernel.out);
  EXPECT_GT(counter("udp_rx_delivered") - rx0, 10u);
  EXPECT_GT(counter("udp_tx_frames") - tx0, 10u);
}

TEST_P(DataCalls, ReaderAndWriterThreadsShareOneSocket) {
  peer_server peer("tcp", port(20), dir_);
  const uint64_t tx0 = counter("tcp_tx_bytes");
  auto card = helper(true, "threads 198.18.0.2 " + std::to_string(peer.port) + " 16");
  EXPECT_EQ(card.status, 0);
  EXPECT_EQ(card.out, "reader and writer on one socket 16777216 ok same\n");
  EXPECT_GE(counter("tcp_tx_bytes") - tx0, uint64_t(16 << 20));
}

}  // namespace
