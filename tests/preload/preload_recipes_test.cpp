// The README's recipes for programs under the interposer, so that they cannot drift
// from what the interposer does: a server that binds any address and a multicast
// receiver in each of four common ways, each run with and without
// ZORVLOAD_BIND_INTERFACE. Every case receives what the same program receives without a
// preload library; the simulator's counters tell whether the card carried it, and the
// fallback status log (ZORVLOAD_STATUS_LOG) names the reason when it did not.
#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr char any_address[] = "bind to ANY IP (0.0.0.0) is not supported";
constexpr char group_address[] = "failed to get name of interface of IP to bind to";

struct recipe {
  const char* scenario;  // of card_programs.sh
  bool bind_interface;   // run with ZORVLOAD_BIND_INTERFACE=198.18.0.1
  const char* counter;   // what the card's share of the traffic raises
  const char* reason;    // the fallback reason logged, or null: over the card
};

const recipe recipes[] = {
    {"http_server_any", false, "tcp_tx_bytes", any_address},
    {"http_server_any", true, "tcp_tx_bytes", nullptr},
    {"mcast_recv_bind_any_join", false, "udp_rx_delivered", any_address},
    {"mcast_recv_bind_any_join", true, "udp_rx_delivered", nullptr},
    {"mcast_recv_bind_any_join_index", false, "udp_rx_delivered", any_address},
    {"mcast_recv_bind_any_join_index", true, "udp_rx_delivered", nullptr},
    {"mcast_recv_join_bind", false, "udp_rx_delivered", nullptr},
    {"mcast_recv_join_bind", true, "udp_rx_delivered", nullptr},
    {"mcast_recv_bind_group_join", false, "udp_rx_delivered", group_address},
    {"mcast_recv_bind_group_join", true, "udp_rx_delivered", group_address},
};

void PrintTo(const recipe& r, std::ostream* os) {
  *os << r.scenario << (r.bind_interface ? " with" : " without") << " ZORVLOAD_BIND_INTERFACE";
}

// The reasons of the status log's fallback lines, but for "not IPv4": the library's own
// packet socket of a card TCP connection is one, and so is any socket of another family.
std::vector<std::string> fallback_reasons(const std::string& path) {
  static const std::regex line("FD=-?[0-9]+ fallback to kernel, reason: (.*)");
  std::vector<std::string> reasons;
  std::ifstream lines(path);  // absent: no fallback
  for (std::string l; std::getline(lines, l);) {
    std::smatch m;
    if (!std::regex_match(l, m, line)) {
      reasons.push_back("unexpected line: " + l);
    } else if (m[1] != "not IPv4") {
      reasons.push_back(m[1]);
    }
  }
  return reasons;
}

class Recipes : public ::testing::TestWithParam<recipe> {
 protected:
  void SetUp() override {
    ZT_REQUIRE_LAUNCHED();
    char tmpl[] = "/tmp/zorvload_recipes.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { zt::run("rm -rf " + dir_); }

  zt::cmd_result run(const std::string& runner) {
    port_ += 2;
    return zt::run_scenario(ZL_CARD_SCRIPT, runner, GetParam().scenario, port_, dir_, 300);
  }

  std::string dir_;
  int port_ = 26000 + 10 * recipe_index();

 private:
  int recipe_index() const {
    int i = 0;
    while (recipes[i].scenario != std::string(GetParam().scenario) ||
           recipes[i].bind_interface != GetParam().bind_interface)
      ++i;
    return i;
  }
};

INSTANTIATE_TEST_SUITE_P(Readme, Recipes, ::testing::ValuesIn(recipes), [](const auto& info) {
  return std::string(info.param.scenario) +
         (info.param.bind_interface ? "_with_bind_interface" : "_without");
});

TEST_P(Recipes, GoWhereTheReadmeSays) {
  const recipe& r = GetParam();
  const auto kernel = run("env");
  ASSERT_EQ(kernel.status, 0) << kernel.out;
  const std::string status_log = dir_ + "/status.log";
  const uint64_t before = uint64_t(zt::sim_counter(r.counter));
  const auto preloaded =
      run("env NOTRACE=1 ZORVLOAD_STATUS_LOG=" + status_log +
          (r.bind_interface ? " ZORVLOAD_BIND_INTERFACE=198.18.0.1" : "") +
          " LD_PRELOAD=" ZL_PRELOAD_PREFIX ZL_LIB_DIR "/libzorvload.so " ZL_ENV_EXTRA);
  EXPECT_EQ(preloaded.status, 0);
  EXPECT_EQ(preloaded.out, kernel.out);
  const uint64_t after = uint64_t(zt::sim_counter(r.counter));
  const std::vector<std::string> reasons = fallback_reasons(status_log);
  if (r.reason == nullptr) {
    EXPECT_GT(after, before) << r.counter << ": the card carried nothing";
    EXPECT_EQ(reasons, std::vector<std::string>{});
  } else {
    EXPECT_EQ(after, before) << r.counter << ": the card carried what the kernel should";
    EXPECT_EQ(reasons, std::vector<std::string>{r.reason});
  }
}

}  // namespace
