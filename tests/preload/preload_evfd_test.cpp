// The emulated eventfd and timerfd under both preload libraries: a program's answers
// (counts, overflow, semaphore mode, timers, blocking reads woken by other threads and
// ended by signals, waits beside a card socket, duplicates, a forked child, socket
// calls on them) are the ones the kernel gives the same program without a preload
// library, and the library's log shows that it served the descriptors itself.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "test_support.h"

namespace {

class EmulatedDescriptors : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ZT_REQUIRE_LAUNCHED();
    char tmpl[] = "/tmp/zorvload_evfd.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    port_ = std::string(GetParam()) == "libzorvload.so" ? 19650 : 19660;
    const std::string ready = dir_ + "/ready";
    zt::peer_run("READY=" + ready + " /usr/bin/python3 " ZL_DATA_PEER " udp 198.18.0.2 " +
                 std::to_string(port_) + " >/dev/null 2>&1 &");
    ASSERT_TRUE(zt::wait_until([&] { return access(ready.c_str(), F_OK) == 0; }, 30000));
  }
  void TearDown() override {
    zt::peer_run("pkill -f 'data_peer.py udp 198.18.0.2 " + std::to_string(port_) + "'");
    zt::run("rm -rf " + dir_);
  }

  zt::cmd_result helper(const std::string& env, const char* program = ZL_EVFD_HELPER) const {
    zt::cmd_result r = zt::run("cd " + dir_ + " && timeout 60 env " + env + " " + program +
                               " 198.18.0.2 " + std::to_string(port_));
    r.out = zt::without_routine_line(r.out);
    return r;
  }
  std::string preload() const {
    return "LD_PRELOAD=" ZL_PRELOAD_PREFIX + std::string(ZL_LIB_DIR) + "/" + GetParam() +
           " " ZL_ENV_EXTRA;
  }
  std::string log() const {
    std::ifstream in(dir_ + "/trace.log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string dir_;
  int port_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Both, EmulatedDescriptors,
                         ::testing::Values("libzorvload.so", "libzorvload_unsafe.so"),
                         [](const auto& info) {
                           return std::string(info.param) == "libzorvload.so" ? "locked" : "unsafe";
                         });

TEST_P(EmulatedDescriptors, AnswerAsTheKernelDoes) {
  auto kernel = helper("");
  ASSERT_EQ(kernel.status, 0) << kernel.out;
  const long rx0 = zt::sim_counter("udp_rx_delivered");
  auto emulated = helper("NOTRACE=1 " + preload());
  EXPECT_EQ(emulated.status, 0);
  EXPECT_EQ(emulated.out, kernel.out);
  EXPECT_GT(zt::sim_counter("udp_rx_delivered"), rx0);
}

// The same run traced: the descriptors were the emulation's, the UDP socket the card's,
// each duplicate and the fork handed the emulated descriptor to its kernel object, and
// fcntl named what the record follows and what it leaves to the kernel.
TEST_P(EmulatedDescriptors, ServedByTheInterposer) {
  auto kernel = helper("");
  ASSERT_EQ(kernel.status, 0) << kernel.out;
  auto traced = helper("VERBOSE=1 ZORVLOAD_LOGFILE=" + dir_ + "/trace.log " + preload());
  EXPECT_EQ(traced.status, 0);
  EXPECT_EQ(traced.out, kernel.out);
  const std::string l = log();
  for (const char* line : {"vyx_eventfd leave", "vyx_timerfd_create leave",
                           "vyx_timerfd_settime", "_eventfd_write overflow write",
                           "vyx_connect", "hand_to_kernel fd", "vyx_fcntl_noarg leave 2050",
                           "vyx_set_socket_blocking set fd=", "vyx_fcntl_longarg Unknown fcntl 1030"})
    EXPECT_NE(l.find(line), std::string::npos) << line;
  // The card's destination in dotted form, as a reader of the trace expects it.
  EXPECT_NE(l.find("udp setup fd="), std::string::npos);
  EXPECT_NE(l.find(" 198.18.0.2:" + std::to_string(port_) + " (srcp "), std::string::npos);
}

#ifdef ZL_EVFD_HELPER_TSAN
// The same program and library built with the thread sanitizer: the blocking reads and
// writes woken by other threads, and the sweeps beside them, race on nothing (a report
// ends the program with status 66).
TEST_P(EmulatedDescriptors, ThreadsUnderTheThreadSanitizer) {
  auto kernel = helper("");
  ASSERT_EQ(kernel.status, 0) << kernel.out;
  std::string lib = GetParam();
  lib.replace(lib.find(".so"), 3, "_tsan.so");
  auto r = helper("NOTRACE=1 TSAN_OPTIONS=halt_on_error=1:exitcode=66 LD_PRELOAD=" ZL_TSAN_LIB_DIR
                  "/" + lib, ZL_EVFD_HELPER_TSAN);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, kernel.out);
}
#endif

}  // namespace
