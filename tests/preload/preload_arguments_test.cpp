// Calls whose answer the kernel gives, under both preload libraries: sockets the card
// does not serve yet answer their options and listen as the kernel does, and bad
// arguments on card sockets and emulated descriptors get the kernel's errno. The same
// program runs without a library, and its output is the expected one.
#include <gtest/gtest.h>

#include <string>

#include "helper_runs.h"
#include "test_support.h"

namespace {

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

  helper_runs runs_;
  const std::string& dir_ = runs_.dir;
};

INSTANTIATE_TEST_SUITE_P(Both, Arguments, ::testing::Values("libzorvload.so", "libzorvload_unsafe.so"),
                         [](const auto& info) {
                           return std::string(info.param) == "libzorvload.so" ? "locked" : "unsafe";
                         });

TEST_P(Arguments, SocketsNotOnTheCardAnswerAsTheKernelDoes) { same_as_kernel("undecided"); }

TEST_P(Arguments, BadArgumentsGetTheKernelsAnswer) { same_as_kernel("bad 198.18.0.1"); }

}  // namespace
