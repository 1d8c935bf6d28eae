// The readiness waits of ordinary programs over card sockets (select and poll in one,
// epoll in the other), under both preload libraries, against the Linux peer: every wait's answer is the one the kernel gives the
// same program without a preload library, and the simulator's counters show that the
// card carried the connection.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>

#include "test_support.h"

namespace {

using namespace std::chrono_literals;

uint64_t tcp_segments_received() { return uint64_t(zt::sim_counter("tcp_rx_delivered")); }

class PollWaits : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ZT_REQUIRE_LAUNCHED();
    char tmpl[] = "/tmp/zorvload_poll.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    port_ = std::string(GetParam()) == "libzorvload.so" ? 19400 : 19500;
    // The data peer's TCP and UDP servers on one port number, up before the runs.
    for (const char* kind : {"tcp", "udp"}) {
      const std::string ready = dir_ + "/ready-" + kind;
      zt::peer_run("READY=" + ready + " /usr/bin/python3 " ZL_DATA_PEER " " + kind +
                   " 198.18.0.2 " + std::to_string(port_) + " >/dev/null 2>&1 &");
      for (int i = 0; i < 600 && access(ready.c_str(), F_OK) != 0; ++i) std::this_thread::sleep_for(50ms);
    }
  }
  void TearDown() override {
    zt::peer_run("pkill -f 'data_peer.py [a-z]* 198.18.0.2 " + std::to_string(port_) + "'");
    zt::run("rm -rf " + dir_);
  }

  // The program's answers; the library's note of the TX routine it chose is not one.
  // `preload` names the library, empty for none.
  zt::cmd_result helper(const std::string& program, const std::string& preload) const {
    std::string env = "NOTRACE=1 ";
    if (!preload.empty()) env += "LD_PRELOAD=" + preload + " ";
    zt::cmd_result r = zt::run("cd " + dir_ + " && timeout 120 env " + env + program +
                               " 198.18.0.2 " + std::to_string(port_) + " " +
                               std::to_string(port_ + 50));
    r.out = zt::without_routine_line(r.out);
    return r;
  }

  std::string library() const {
    return ZL_PRELOAD_PREFIX + std::string(ZL_LIB_DIR) + "/" + GetParam() + " " ZL_ENV_EXTRA;
  }

  // The program's answers without a library, then under it (the library named, by
  // default the parameter), with the card's counters.
  void answers_as_the_kernel(const std::string& program, std::string preload = "") const {
    auto kernel = helper(program, "");
    ASSERT_EQ(kernel.status, 0) << kernel.out;
    const uint64_t rx0 = tcp_segments_received();
    auto card = helper(program, preload.empty() ? library() : preload);
    EXPECT_EQ(card.status, 0);
    EXPECT_EQ(card.out, kernel.out);
    EXPECT_GT(tcp_segments_received(), rx0);
  }

  std::string dir_;
  int port_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Both, PollWaits, ::testing::Values("libzorvload.so", "libzorvload_unsafe.so"),
                         [](const auto& info) {
                           return std::string(info.param) == "libzorvload.so" ? "locked" : "unsafe";
                         });

TEST_P(PollWaits, AnswerAsTheKernelDoes) { answers_as_the_kernel(ZL_POLL_HELPER); }

TEST_P(PollWaits, EpollAnswersAsTheKernelDoes) { answers_as_the_kernel(ZL_EPOLL_HELPER); }

#ifdef ZL_EPOLL_HELPER_TSAN
// The same with the library and the program built with the thread sanitizer (a wait
// beside epoll_ctl and close from other threads): a report ends the program with
// status 66.
TEST_P(PollWaits, EpollUnderTheThreadSanitizer) {
  std::string lib = GetParam();
  lib.replace(lib.find(".so"), 3, "_tsan.so");
  answers_as_the_kernel(ZL_EPOLL_HELPER_TSAN, ZL_TSAN_LIB_DIR "/" + lib +
                                                  " TSAN_OPTIONS=halt_on_error=1:exitcode=66");
}
#endif

}  // namespace
