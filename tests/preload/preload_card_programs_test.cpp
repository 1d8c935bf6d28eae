// Unmodified Debian programs on our side, preloaded with each library, against the Linux
// kernel and Debian's tools in the peer namespace (card_programs.sh): each scenario
// prints what both sides received, which must be what the same scenario prints without
// a preload library, and the simulator's counters must show that the card carried it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "test_support.h"

namespace {

uint64_t counter(const std::string& name) { return uint64_t(zt::sim_counter(name)); }

struct scenario {
  const char* name;
  const char* counter;  // what the card's share of the traffic raises
  uint64_t least = 1;   // by at least this much: the program's data, not only its setup
};

const scenario scenarios[] = {
    {"nc_client", "tcp_tx_bytes"},       {"nc_server", "tcp_rx_delivered"},
    {"nc_udp_client", "udp_tx_frames"},  {"nc_udp_server", "udp_rx_delivered"},
    {"socat_client", "tcp_rx_delivered"}, {"socat_server", "tcp_tx_bytes"},
    {"socat_udp_client", "udp_rx_delivered"}, {"socat_udp_server", "udp_tx_frames"},
    {"curl_client", "tcp_rx_delivered"},  {"http_server", "tcp_tx_bytes"},
    {"socat_mcast_recv_address", "udp_rx_delivered"},
    {"socat_mcast_recv_index", "udp_rx_delivered"},
    {"socat_mcast_send", "udp_tx_frames"}, {"socat_mcast_send_bound", "udp_tx_frames"},
    {"silent_client", "tcp_rx_delivered"}, {"mcast_fallback", "udp_rx_delivered"},
    // iperf3 moves 4 MiB over TCP (at least 2873 segments of 1460 bytes) and 2 MiB over
    // UDP (1437 datagrams); sockperf runs for a second, in thousands of messages, but a
    // ping-pong on a machine loaded by the sanitizer build may make fewer than a hundred
    // round trips in it: ten prove that the card carried them.
    {"iperf3_tcp_client", "tcp_tx_bytes", 4194304},
    {"iperf3_tcp_server", "tcp_rx_delivered", 2873},
    {"iperf3_tcp_reverse_client", "tcp_rx_delivered", 2873},
    {"iperf3_tcp_reverse_server", "tcp_tx_bytes", 4194304},
    {"iperf3_udp_client", "udp_tx_frames", 1437},
    {"iperf3_udp_server", "udp_rx_delivered", 1437},
    {"iperf3_udp_reverse_client", "udp_rx_delivered", 1437},
    {"iperf3_udp_reverse_server", "udp_tx_frames", 1437},
    {"sockperf_pp_udp_select_client", "udp_rx_delivered", 10},
    {"sockperf_pp_udp_select_server", "udp_rx_delivered", 10},
    {"sockperf_pp_udp_poll_client", "udp_rx_delivered", 10},
    {"sockperf_pp_udp_poll_server", "udp_rx_delivered", 10},
    {"sockperf_pp_tcp_select_client", "tcp_rx_delivered", 10},
    {"sockperf_pp_tcp_select_server", "tcp_rx_delivered", 10},
    {"sockperf_pp_tcp_poll_client", "tcp_rx_delivered", 10},
    {"sockperf_pp_tcp_poll_server", "tcp_rx_delivered", 10},
    {"sockperf_tp_udp_select_client", "udp_tx_frames", 1000},
    {"sockperf_tp_udp_select_server", "udp_rx_delivered", 1000},
    {"sockperf_tp_udp_poll_client", "udp_tx_frames", 1000},
    {"sockperf_tp_udp_poll_server", "udp_rx_delivered", 1000},
    {"sockperf_tp_tcp_select_client", "tcp_tx_bytes", 14000},
    {"sockperf_tp_tcp_select_server", "tcp_rx_delivered", 100},
    {"sockperf_tp_tcp_poll_client", "tcp_tx_bytes", 14000},
    {"sockperf_tp_tcp_poll_server", "tcp_rx_delivered", 100},
    {"sockperf_pp_udp_blocking_server", "udp_rx_delivered", 10},
    {"sockperf_pp_tcp_blocking_server", "tcp_rx_delivered", 10},
};

using param = std::tuple<const char*, scenario>;

class CardPrograms : public ::testing::TestWithParam<param> {
 protected:
  void SetUp() override {
    ZT_REQUIRE_LAUNCHED();
    char tmpl[] = "/tmp/zorvload_progs.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { zt::run("rm -rf " + dir_); }

  // Every run has ports of its own, so that a server of an earlier run still ending
  // never meets the next.
  zt::cmd_result run(const std::string& runner) {
    port_ += 2;
    return zt::run_scenario(ZL_CARD_SCRIPT, runner, std::get<1>(GetParam()).name, port_, dir_,
                            300);
  }

  std::string dir_;
  int port_ = 20000 + 10 * scenario_index() +
              (std::string(std::get<0>(GetParam())) == "libzorvload.so" ? 0 : 1000);

 private:
  int scenario_index() const {
    int i = 0;
    while (std::string(scenarios[i].name) != std::get<1>(GetParam()).name) ++i;
    return i;
  }
};

INSTANTIATE_TEST_SUITE_P(
    Both, CardPrograms,
    ::testing::Combine(::testing::Values("libzorvload.so", "libzorvload_unsafe.so"),
                       ::testing::ValuesIn(scenarios)),
    [](const auto& info) {
      return std::string(std::get<1>(info.param).name) +
             (std::string(std::get<0>(info.param)) == "libzorvload.so" ? "_locked" : "_unsafe");
    });

TEST_P(CardPrograms, ReceiveWhatTheKernelDelivers) {
  if (ZL_SANITIZED && std::string(std::get<1>(GetParam()).name) == "curl_client")
    GTEST_SKIP() << "curl cannot host the sanitizer runtime alone (it hangs in setlocale); "
                    "the normal build runs it";
  const auto kernel = run("env");
  ASSERT_EQ(kernel.status, 0) << kernel.out;
  const std::string name = std::get<1>(GetParam()).counter;
  const uint64_t before = counter(name);
  const auto card = run("env NOTRACE=1 LD_PRELOAD=" ZL_PRELOAD_PREFIX ZL_LIB_DIR "/" +
                        std::string(std::get<0>(GetParam())) + " " ZL_ENV_EXTRA);
  EXPECT_EQ(card.status, 0);
  EXPECT_EQ(card.out, kernel.out);
  EXPECT_GE(counter(name), before + std::get<1>(GetParam()).least) << name;
}

}  // namespace
