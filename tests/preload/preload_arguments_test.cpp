// Calls whose answer the kernel gives, under both preload libraries: sockets the card
// does not serve yet answer their options and listen as the kernel does, and bad
// arguments on card sockets and emulated descriptors get the kernel's errno. The same
// program runs without a library, and its output is the expected one.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

class Arguments : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ZT_REQUIRE_LAUNCHED();
    char tmpl[] = "/tmp/zorvload_args.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { zt::run("rm -rf " + dir_); }

  // The program's output (under a library without its routine line).
  zt::cmd_result helper(bool preloaded, const std::string& args) const {
    std::string env = "NOTRACE=1 ";
    if (preloaded)
      env += "LD_PRELOAD=" ZL_PRELOAD_PREFIX + std::string(ZL_LIB_DIR) + "/" + GetParam() + " " ZL_ENV_EXTRA " ";
    zt::cmd_result r = zt::run("cd " + dir_ + " && timeout 120 env " + env + ZL_ARG_HELPER " " + args);
    r.out = zt::without_routine_line(r.out);
    return r;
  }

  std::string dir_;
};

INSTANTIATE_TEST_SUITE_P(Both, Arguments, ::testing::Values("libzorvload.so", "libzorvload_unsafe.so"),
                         [](const auto& info) {
                           return std::string(info.param) == "libzorvload.so" ? "locked" : "unsafe";
                         });

TEST_P(Arguments, SocketsNotOnTheCardAnswerAsTheKernelDoes) {
  auto kernel = helper(false, "undecided");
  ASSERT_EQ(kernel.status, 0) << kernel.out;
  auto preloaded = helper(true, "undecided");
  EXPECT_EQ(preloaded.status, 0);
  EXPECT_EQ(preloaded.out, kernel.out);
}

TEST_P(Arguments, BadArgumentsGetTheKernelsAnswer) {
  auto kernel = helper(false, "bad 198.18.0.1");
  ASSERT_EQ(kernel.status, 0) << kernel.out;
  auto preloaded = helper(true, "bad 198.18.0.1");
  EXPECT_EQ(preloaded.status, 0);
  EXPECT_EQ(preloaded.out, kernel.out);
}

}  // namespace
