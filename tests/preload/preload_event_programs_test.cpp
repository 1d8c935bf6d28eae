// Unmodified event-driven programs (redis, nginx, memcached, sockperf, python3's asyncio)
// on our side, preloaded with libzorvload, against the Linux kernel and Debian's tools in
// the peer namespace (event_programs.sh). Each scenario checks its own results and prints
// them; with the library it must print what it prints without one, and the simulator's
// counters must show that the card carried at least the scenario's own traffic.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "test_support.h"

namespace {

struct rise {
  const char* counter;  // of port 0 in the simulator
  long at_least;        // what the scenario alone adds to it
};

struct scenario {
  const char* name;
  rise rises[3];
};

constexpr long ECHOED = 8892488;  // asyncio_echo.py: 8 connections' messages

const scenario scenarios[] = {
    // 50 clients per benchmark test; the 10 MiB value read back.
    {"redis_server", {{"tcp_listen_queued", 100}, {"tcp_tx_bytes", 10485760}, {"tcp_rx_delivered", 1000}}},
    // wrk's 50 connections (a slow build may get requests through on fewer of them before
    // the load ends); the 100 MB file.
    {"nginx_server", {{"tcp_listen_queued", 50}, {"tcp_tx_bytes", 100000000}, {"tcp_rx_delivered", 10}}},
    {"asyncio_tcp_server", {{"tcp_listen_queued", 8}, {"tcp_tx_bytes", ECHOED}, {"tcp_rx_delivered", 8}}},
    {"asyncio_tcp_client", {{"tcp_tx_bytes", ECHOED}, {"tcp_rx_delivered", 8}, {"tcp_tx_frames", 8}}},
    {"uvloop_tcp_server", {{"tcp_listen_queued", 8}, {"tcp_tx_bytes", ECHOED}, {"tcp_rx_delivered", 8}}},
    // curl's 8 MiB body; ab's 2000 requests, over at least 20 connections.
    {"node_http_server", {{"tcp_listen_queued", 21}, {"tcp_tx_bytes", 8388608}, {"tcp_rx_delivered", 1000}}},
    // The file goes out through sendfile.
    {"lighttpd_server", {{"tcp_listen_queued", 1}, {"tcp_tx_bytes", 4194304}, {"tcp_rx_delivered", 1}}},
    {"nginx_sendfile", {{"tcp_listen_queued", 1}, {"tcp_tx_bytes", 4194304}, {"tcp_rx_delivered", 1}}},
    {"asyncio_udp_server", {{"udp_rx_delivered", 200}, {"udp_tx_frames", 200}, {"udp_tx_bytes", 200}}},
    {"asyncio_udp_client", {{"udp_rx_delivered", 200}, {"udp_tx_frames", 200}, {"udp_tx_bytes", 200}}},
    {"memcached_server", {{"tcp_listen_queued", 8}, {"udp_rx_delivered", 100}, {"udp_tx_frames", 100}}},
    // A ping-pong of 2 s over each protocol exchanges hundreds of messages even on a
    // machine so busy that a TCP round trip takes milliseconds.
    {"sockperf_server", {{"tcp_listen_queued", 1}, {"tcp_tx_frames", 50}, {"udp_tx_frames", 50}}},
    {"sockperf_client", {{"tcp_rx_delivered", 50}, {"tcp_tx_frames", 50}, {"udp_tx_frames", 50}}},
};

void PrintTo(const scenario& s, std::ostream* os) { *os << s.name; }

class EventPrograms : public ::testing::TestWithParam<scenario> {
 protected:
  void SetUp() override {
    ZT_REQUIRE_LAUNCHED();
    char tmpl[] = "/tmp/zorvload_events.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { zt::run("rm -rf " + dir_); }

  // Every run of the process has ports of its own, also across scenarios, so that a
  // connection an earlier run left in TIME_WAIT never meets the next run's bind.
  zt::cmd_result run(const std::string& runner) {
    next_port_ += 10;
    return zt::run_scenario(ZL_EVENT_SCRIPT, runner, GetParam().name, next_port_, dir_, 900);
  }

  std::string dir_;
  static inline int next_port_ = 21000;
};

INSTANTIATE_TEST_SUITE_P(Each, EventPrograms, ::testing::ValuesIn(scenarios),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(EventPrograms, CardCarriesWhatTheKernelDoes) {
  const auto kernel = run("env");
  ASSERT_EQ(kernel.status, 0) << kernel.out;
  long before[3];
  for (int i = 0; i < 3; ++i) before[i] = zt::sim_counter(GetParam().rises[i].counter);
  const auto card = run("env NOTRACE=1 LD_PRELOAD=" ZL_PRELOAD_PREFIX ZL_LIB_DIR
                        "/libzorvload.so " ZL_ENV_EXTRA);
  EXPECT_EQ(card.status, 0);
  EXPECT_EQ(card.out, kernel.out);
  for (int i = 0; i < 3; ++i) {
    const rise& r = GetParam().rises[i];
    EXPECT_GE(zt::sim_counter(r.counter) - before[i], r.at_least) << r.counter;
  }
}

}  // namespace
