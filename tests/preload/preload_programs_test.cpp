// Ordinary programs under both preload libraries: the same output as without a preload
// library, trace logs in the expected formats, and the environment variables that steer
// tracing. Runs inside the test launcher (the peer namespace serves the peer cases).
#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "test_support.h"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> logs_in(const std::string& dir) {
  std::vector<std::string> logs;
  for (const std::string& n : list_dir(dir))
    if (n.rfind("zorvnic_log_", 0) == 0) logs.push_back(dir + "/" + n);
  return logs;
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The lines of a log outside its status blocks that do not have one of the trace
// formats; continuation items ("name iov[i] len ") may precede a line.
std::vector<std::string> malformed_lines(const std::string& log) {
  static const std::regex line(
      R"(((\S+ iov\[\d+\] -?\d+ )*)()"
      R"(\d{6}/-?\d+ \S+ .*|\d{6} \S+ return -?\d+( \(.*\))?|family=\d+, \(AF_INET=2\))"
      R"(|ip \d+\.\d+\.\d+\.\d+ port \d+|\S+ arg bin size=-?\d+  ([0-9A-F]{2} )*|))");
  std::vector<std::string> bad;
  std::istringstream in(log);
  std::string l;
  bool in_block = false;
  while (std::getline(in, l)) {
    if (l.rfind("zorvsock githash ", 0) == 0) in_block = true;
    if (in_block) {
      if (l == "= Application start =") {
        std::getline(in, l);
        in_block = false;
      }
      continue;
    }
    if (!std::regex_match(l, line)) bad.push_back(l);
  }
  return bad;
}

// One preload library, and the commands that run programs with it.
class Preload : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zorvload_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { zt::run("rm -rf " + dir_); }

  std::string library() const { return std::string(ZL_LIB_DIR) + "/" + GetParam(); }
  std::string preload() const {
    // Colons separate the list, so the words pass unquoted through the scenario's $RUN.
    return "LD_PRELOAD=" + std::string(ZL_PRELOAD_PREFIX) + library() + " " ZL_ENV_EXTRA " ";
  }
  // Runs cmd in the test directory with the environment settings env and the library.
  zt::cmd_result with(const std::string& env, const std::string& cmd) const {
    return zt::run("cd " + dir_ + " && env " + env + " " + preload() + cmd);
  }
  zt::cmd_result without(const std::string& cmd) const {
    return zt::run("cd " + dir_ + " && " + cmd);
  }
  std::string helper(const std::string& args) const { return std::string(ZL_HELPER) + " " + args; }
  std::string only_log() const {
    auto logs = logs_in(dir_);
    EXPECT_EQ(logs.size(), 1u);
    return logs.empty() ? "" : read_file(logs[0]);
  }

  std::string dir_;
};

INSTANTIATE_TEST_SUITE_P(Both, Preload,
                         ::testing::Values("libzorvload.so", "libzorvload_unsafe.so"),
                         [](const auto& info) {
                           return std::string(info.param) == "libzorvload.so" ? "locked"
                                                                               : "unsafe";
                         });

// ---- ordinary programs ------------------------------------------------------------

struct scenario {
  const char* name;
  const char* expect;  // text the output must contain
};

class Programs : public Preload {};

TEST_P(Programs, SameOutputAsWithoutPreloadAndWellFormedLogs) {
  ZT_REQUIRE_LAUNCHED();
  if (ZL_SANITIZED)
    GTEST_SKIP() << "uninstrumented programs cannot all host the sanitizer runtime (curl "
                    "hangs in setlocale with it alone); the normal build runs them";
  const scenario cases[] = {
      {"curl_lo", "line two"},        {"curl_peer", "line two"},
      {"nc_lo", "line two"},          {"nc_peer", "line two"},
      {"asyncio", "GAMMA\ndatagram"}, {"socat", "one datagram"},
      {"devtcp", "line two"},         {"iperf3", "iperf3 False True"},
      {"forking", "server done"}};
  // Each library has ports of its own: a server of the other's run may still be ending.
  int port = std::string(GetParam()) == "libzorvload.so" ? 18000 : 18100;
  for (const scenario& sc : cases) {
    SCOPED_TRACE(sc.name);
    std::string script = std::string(ZL_SCRIPT) + " " + sc.name + " ";
    std::string plain_dir = dir_ + "/plain", traced_dir = dir_ + "/traced";
    zt::run("rm -rf " + plain_dir + " " + traced_dir + " && mkdir -p " + plain_dir + " " +
            traced_dir + "/logs");
    auto plain = zt::run("RUN=env " + script + std::to_string(port++) + " " + plain_dir);
    auto traced = zt::run("RUN=\"env ZORVLOAD_LOGDIR=" + traced_dir + "/logs " + preload() +
                          "\" " + script + std::to_string(port++) + " " + traced_dir);
    EXPECT_EQ(plain.status, 0) << plain.out;
    EXPECT_EQ(traced.status, 0) << traced.out;
    EXPECT_NE(plain.out.find(sc.expect), std::string::npos) << plain.out;
    EXPECT_EQ(zt::without_routine_line(traced.out), plain.out);
    auto logs = logs_in(traced_dir + "/logs");
    ASSERT_FALSE(logs.empty());
    std::string all;
    for (const std::string& log : logs) {
      std::string text = read_file(log);
      EXPECT_NE(text.find("= Application start =\n=====================\n"), std::string::npos);
      auto bad = malformed_lines(text);
      EXPECT_TRUE(bad.empty()) << log << ": " << bad.size() << " lines, first: " << bad[0];
      all += text;
    }
    EXPECT_TRUE(std::regex_search(all, std::regex(R"(\n\d{6}/\d+ socket 2 \d+ \d+ \()")));
    EXPECT_TRUE(std::regex_search(all, std::regex(R"(\n\d{6}/\d+ vyx_socket leave \d+\n)")));
  }
}

INSTANTIATE_TEST_SUITE_P(Both, Programs,
                         ::testing::Values("libzorvload.so", "libzorvload_unsafe.so"),
                         [](const auto& info) {
                           return std::string(info.param) == "libzorvload.so" ? "locked"
                                                                               : "unsafe";
                         });

// ---- calls that the C library answers ----------------------------------------------

TEST_P(Preload, BadPointersFailAsInTheKernelWithoutCrashingTheTrace) {
  auto plain = without(helper("bad-pointers"));
  auto traced = with("VERBOSE=1", helper("bad-pointers"));
  EXPECT_EQ(traced.status, 0) << traced.out;
  EXPECT_EQ(zt::without_routine_line(traced.out), plain.out);
  EXPECT_NE(plain.out.find("getsockopt-null-optlen -1 Bad address"), std::string::npos);
  EXPECT_NE(plain.out.find("pipe-bad -1 Bad address"), std::string::npos);
  std::string log = only_log();
  EXPECT_NE(log.find("\nsetsockopt arg bin size=4  \n"), std::string::npos);
  EXPECT_TRUE(malformed_lines(log).empty());
}

TEST_P(Preload, DescriptorsOutsideTheTableReachTheKernel) {
  auto plain = without(helper("odd-descriptors"));
  auto traced = with("", helper("odd-descriptors"));
  EXPECT_EQ(traced.status, 0);
  EXPECT_EQ(zt::without_routine_line(traced.out), plain.out);
  EXPECT_NE(plain.out.find("high socket above 1023: 1"), std::string::npos);
  EXPECT_NE(plain.out.find("high recv 1 ok"), std::string::npos);
  std::string log = only_log();
  // A socket above 1023 gets no record, so its close is the kernel's.
  EXPECT_EQ(count_of(log, "vyx_close return 0"), 0u);
  EXPECT_TRUE(std::regex_search(log, std::regex(R"(\d{6}/\d+ fcntl -1 3\n\d{6}/\d+ __fcntl -1 3\n)")));
  EXPECT_TRUE(std::regex_search(log, std::regex(R"(\d{6}/\d+ read 5000 4\n)")));
}

TEST_P(Preload, FortifiedEntryPointsCheckTheirBuffers) {
  const char* names[] = {"read", "recv", "recvfrom", "poll", "ppoll"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    auto fits = with("NOTRACE=1", helper(std::string("fortified ") + name));
    EXPECT_EQ(fits.status, 0) << fits.out;
    EXPECT_EQ(fits.out, without(helper(std::string("fortified ") + name)).out);
    auto over = with("NOTRACE=1", helper(std::string("fortified ") + name + " over"));
    EXPECT_EQ(over.status, 1);
    std::string kind = std::string(name).find("poll") != std::string::npos
                           ? " nfds*sizeof(pollfd)>fdslen"
                           : std::string(name) == "read" ? " count>buflen" : " len>buflen";
    EXPECT_EQ(over.out, "__" + std::string(name) + "_chk" + kind + "\n");
  }
}

TEST_P(Preload, ManyThreadsOpenUseAndCloseSockets) {
  auto r = with("NOTRACE=1", helper("churn 16 300"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "churn failures 0\n");
  auto traced = with("", helper("churn 8 100"));
  EXPECT_EQ(traced.status, 0) << traced.out;
  std::string log = only_log();
  EXPECT_EQ(count_of(log, "vyx_socket leave"), 800u);
  // Bound to loopback, every socket goes to the kernel, which then closes it.
  EXPECT_EQ(count_of(log, "reason: bind IP does not use zorvnic interface"), 800u);
  EXPECT_EQ(count_of(log, "vyx_close return 0"), 0u);
  EXPECT_TRUE(malformed_lines(log).empty());
}

TEST_P(Preload, ForkedChildrenExitNormally) {
  if (ZL_SANITIZED)
    GTEST_SKIP() << "the address sanitizer's allocator of this compiler does not hold its "
                    "locks across fork: a child that allocates hangs when another thread of "
                    "the parent held one at the fork (the normal build runs this test)";
  auto r = zt::run("cd " + dir_ + " && timeout 60 env " + preload() + helper("fork-exit 30"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "fork children ok 30 of 30, vfork status 3\n");
  std::string log = only_log();
  EXPECT_EQ(count_of(log, " fork \n"), 30u);
  EXPECT_EQ(count_of(log, " vfork \n"), 1u);
}

TEST_P(Preload, SocketsMadeBeforeStartUpKeepTheirRecords) {
  std::string early = "LD_PRELOAD=" + std::string(ZL_PRELOAD_PREFIX) + library() + ":" +
                      ZL_EARLY_LIB " " ZL_ENV_EXTRA " ";
  auto r = zt::run("cd " + dir_ + " && env " + early + helper("close-early"));
  EXPECT_EQ(r.status, 0) << r.out;
  std::string log = only_log();
  EXPECT_EQ(count_of(log, "= Application start ="), 1u);
  EXPECT_EQ(count_of(log, "vyx_socket leave"), 4u);
  EXPECT_EQ(count_of(log, "vyx_close return 0"), 4u);
}

// ---- the environment of tracing -----------------------------------------------------

TEST_P(Preload, NotraceSwitchesTracingOffUnlessItBeginsWithZero) {
  const struct {
    const char* env;
    bool traced;
  } cases[] = {{"", true},           {"NOTRACE=0", true},  {"NOTRACE=01", true},
               {"NOTRACE=", false},  {"NOTRACE=1", false}, {"NOTRACE=no", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.env);
    zt::run("rm -f " + dir_ + "/zorvnic_log_*");
    auto r = with(c.env, helper("fallback"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(logs_in(dir_).size(), c.traced ? 1u : 0u);
  }
}

TEST_P(Preload, TraceLinesOfSocketsAndFallbacks) {
  auto r = with("VERBOSE=1", helper("fallback"));
  EXPECT_EQ(r.status, 0);
  std::string log = only_log();
  const char* lines[] = {
      R"(\d{6}/\d+ socket 1 1 0 \(IPPROTO_IP\)\n)",
      R"(\d{6}/\d+ vyx_log_kernel_fallback_socket FD=\d+ fallback to kernel, reason: not IPv4\n)",
      R"(\d{6}/\d+ socket 10 2 0 \(IPPROTO_IP\)\n)",
      R"(\d{6}/\d+ getsockname \d+ 0x[0-9a-f]+ 0x[0-9a-f]+\n\d{6}/\d+ getsockname kernel\n)"};
  for (const char* l : lines) EXPECT_TRUE(std::regex_search(log, std::regex(l))) << l;
}

TEST_P(Preload, LogFileOnStandardOutputHasNoStatusBlock) {
  auto r = with("ZORVLOAD_LOGFILE=-", helper("fallback"));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(" socket 1 1 0 (IPPROTO_IP)\n"), std::string::npos);
  EXPECT_EQ(r.out.find("zorvsock githash"), std::string::npos);
  EXPECT_EQ(r.out.find("Application start"), std::string::npos);
  EXPECT_TRUE(logs_in(dir_).empty());
}

TEST_P(Preload, GivenLogFileIsTruncatedAndUsed) {
  std::string path = dir_ + "/given.log";
  zt::run("echo old-content > " + path);
  EXPECT_EQ(with("ZORVLOAD_LOGFILE=" + path, helper("fallback")).status, 0);
  std::string log = read_file(path);
  EXPECT_EQ(log.find("old-content"), std::string::npos);
  EXPECT_EQ(log.rfind("zorvsock githash ", 0), 0u);
  EXPECT_NE(log.find(" vyx_log_kernel_fallback_socket FD="), std::string::npos);
  EXPECT_TRUE(logs_in(dir_).empty());
}

TEST_P(Preload, ProgramsStartedByATracedProcessAppendToItsLog) {
  auto r = with("", "sh -c '" + helper("fallback") + "; " + helper("fallback") + "'");
  EXPECT_EQ(r.status, 0);
  std::string log = only_log();
  EXPECT_EQ(count_of(log, "= Application start ="), 3u);
  EXPECT_EQ(count_of(log, "reason: not IPv4"), 4u);
}

TEST_P(Preload, LogDirectoryProblemsEndTheProgramWithAMessage) {
  auto missing = with("ZORVLOAD_LOGDIR=" + dir_ + "/none", helper("fallback"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(std::regex_match(
      missing.out, std::regex("Cannot open " + dir_ + "/none/zorvnic_log_[-0-9.]+\\.log, aborting\n")))
      << missing.out;
  std::string deep = dir_ + "/" + std::string(230, 'd');
  zt::run("mkdir -p " + deep + " && touch " + deep + "/zorvnic_log_1 " + deep +
          "/zorvnic_log_2 " + deep + "/zorvnic_log_3 " + deep + "/zorvnic_log_4 " + deep +
          "/zorvnic_log_5");
  auto too_long = with("ZORVLOAD_LOGDIR=" + deep, helper("fallback"));
  EXPECT_EQ(too_long.status, 1);
  EXPECT_EQ(too_long.out, "ZORVLOAD_LOGDIR is too long for a log file name: " + deep +
                              ", aborting\n");
  EXPECT_EQ(list_dir(deep).size(), 5u);
}

TEST_P(Preload, PruningKeepsTheFourNewestOfTheFirstSixteen) {
  std::string logs = dir_ + "/logs";
  std::string cmd = "mkdir -p " + logs + "/zorvnic_log_9-dir && cd " + logs +
                    " && ln -s /dev/null zorvnic_log_9-link && touch other.txt";
  for (int i = 10; i < 20; ++i) cmd += " && touch zorvnic_log_2020-01-" + std::to_string(i) + ".log";
  zt::run(cmd);
  EXPECT_EQ(with("ZORVLOAD_LOGDIR=" + logs, helper("fallback")).status, 0);
  auto names = list_dir(logs);
  // 4 kept, the new log, the directory, the link and the other file.
  ASSERT_EQ(names.size(), 8u);
  EXPECT_EQ(names[0], "other.txt");
  for (int i = 16; i < 20; ++i)
    EXPECT_EQ(names[size_t(i - 15)], "zorvnic_log_2020-01-" + std::to_string(i) + ".log");
  EXPECT_EQ(names[6], "zorvnic_log_9-dir");
  EXPECT_EQ(names[7], "zorvnic_log_9-link");

  zt::run("rm -rf " + logs + " && mkdir " + logs);
  std::string twenty = "cd " + logs;
  for (int i = 10; i < 30; ++i) twenty += " && touch zorvnic_log_2021-01-" + std::to_string(i);
  zt::run(twenty);
  EXPECT_EQ(with("ZORVLOAD_LOGDIR=" + logs, helper("fallback")).status, 0);
  // Only the first 16 found take part: 4 of them stay, the 4 others are not looked at.
  EXPECT_EQ(list_dir(logs).size(), 9u);
}

TEST_P(Preload, VersionRequestEndsTheProgramBeforeMain) {
  auto r = with("ZORVLOAD_PRINT_VERSION=", helper("fallback"));
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(std::regex_match(r.out, std::regex("Zorvload githash: [0-9A-F]+\n"))) << r.out;
  EXPECT_TRUE(logs_in(dir_).empty());
}

TEST_P(Preload, StatusLogCollectsFallbacksAlsoWithoutTracing) {
  std::string status = dir_ + "/status.log";
  for (const char* env : {"", "NOTRACE=1"}) {
    EXPECT_EQ(with(std::string(env) + " ZORVLOAD_STATUS_LOG=" + status, helper("fallback")).status, 0);
  }
  std::string text = read_file(status);
  EXPECT_TRUE(std::regex_match(text, std::regex("(FD=\\d+ fallback to kernel, reason: not IPv4\n){4}")))
      << text;
}

TEST_P(Preload, StatusBlockHasItsSectionsInOrder) {
  EXPECT_EQ(with("ZORVLOAD_FULL_CMDLINE=the-full-line", helper("fallback")).status, 0);
  std::string log = only_log();
  const char* start_banner =
      "\n=====================\n= Application start =\n=====================\n";
  const char* sections[] = {"zorvsock githash ", "\nglibc version string: ", "\ncgroup: ",
                            "\ncmdline: " ZL_HELPER "\n", "\nparent cmdline: ",
                            "\nfull cmdline: the-full-line\n", "\nnet/dev:\n ",
                            "\nnet/route:\n ", "\nlibs(maps):\n ", "\nhostname: ",
                            "\ncpuinfo:\n ", "\nos-release:\n ", start_banner};
  size_t at = 0;
  for (const char* s : sections) {
    size_t found = log.find(s, at);
    EXPECT_NE(found, std::string::npos) << s;
    if (found != std::string::npos) at = found;
  }
  EXPECT_NE(log.find(library() + "\n"), std::string::npos);
}

TEST_P(Preload, BudgetEndsTracingAfterTheLineThatCrossesIt) {
  EXPECT_EQ(with("", helper("writes 600000")).status, 0);
  std::string log = only_log();
  ASSERT_GT(log.size(), 10485760u);
  EXPECT_LT(log.size(), 10485760u + 64);
  EXPECT_EQ(log.back(), '\n');
  zt::run("rm -f " + dir_ + "/zorvnic_log_*");
  EXPECT_EQ(with("ZORVLOAD_TRACE1GB=", helper("writes 600000")).status, 0);
  EXPECT_GT(only_log().size(), 10485760u + 1000000);
}

}  // namespace

// The log's name is given on absolute: a child that changes directory before it starts
// writes into its parent's log, not into a new log directory of its own.
TEST_P(Preload, ChildrenInOtherDirectoriesShareTheLogOfARelativeLogDirectory) {
  zt::run("mkdir -p " + dir_ + "/logs " + dir_ + "/elsewhere/logs");
  auto r = with("ZORVLOAD_LOGDIR=logs",
                "sh -c 'cd elsewhere && " + helper("fallback") + " && " + helper("fallback") + "'");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(logs_in(dir_ + "/logs").size(), 1u);
  EXPECT_TRUE(logs_in(dir_ + "/elsewhere/logs").empty());
  const auto logs = logs_in(dir_ + "/logs");
  // sh and the two helpers.
  if (!logs.empty()) {
    EXPECT_EQ(count_of(read_file(logs[0]), "= Application start ="), 3u);
  }
}
