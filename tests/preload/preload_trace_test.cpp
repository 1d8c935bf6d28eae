// The trace log's own pieces: names of levels and options, the address dump, the byte
// budget, safe reads of caller memory, log names and the library list of the status block.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <regex>
#include <string>
#include <sys/file.h>
#include <unistd.h>

#include "log_files.h"
#include "status_block.h"
#include "trace_log.h"
#include "trace_names.h"

namespace {

using namespace kvel;

TEST(TraceNames, LevelsAndOptions) {
  const struct {
    int level, option;
    const char* name;
  } options[] = {{1, 2, "SO_REUSEADDR"},         {1, 64, "SO_TIMESTAMPNS_NEW"},
                 {1, 16, "SOL_SOCKET unknown"},  {0, 35, "IP_ADD_MEMBERSHIP"},
                 {0, 49, "IP_MULTICAST_ALL"},    {0, 3, "IPPROTO_IP unknown"},
                 {6, 1, "TCP_NODELAY"},          {6, 30, "TCP_FASTOPEN_CONNECT"},
                 {6, 9, "IPPROTO_TCP unknown"},  {17, 103, "UDP_SEGMENT"},
                 {17, 2, "IPPROTO_UDP unknown"}, {41, 1, ""}};
  for (const auto& o : options) EXPECT_STREQ(option_name(o.level, o.option), o.name);
  EXPECT_STREQ(level_name(6), "IPPROTO_TCP");
  EXPECT_STREQ(level_name(255), "IPPROTO_RAW");
  EXPECT_STREQ(level_name(-1), "UNKNOWN");
}

// A trace stream on a temporary file, read back as text.
class TraceFile : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = tmpfile();
    trace_file = file_;
    trace_bytes = 0;
    trace_budget = trace_default_budget;
  }
  void TearDown() override {
    trace_file = nullptr;
    fclose(file_);
  }
  std::string text() {
    fflush(file_);
    std::string s(size_t(ftell(file_)), '\0');
    rewind(file_);
    s.resize(fread(s.data(), 1, s.size(), file_));
    return s;
  }
  FILE* file_ = nullptr;
};

TEST_F(TraceFile, SockaddrDump) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(8080);
  inet_pton(AF_INET, "198.18.0.2", &a.sin_addr);
  EXPECT_EQ(trace_sockaddr(file_, reinterpret_cast<sockaddr*>(&a), 7), 0);
  sockaddr_in6 b{};
  b.sin6_family = AF_INET6;
  trace_sockaddr(file_, reinterpret_cast<sockaddr*>(&b), sizeof b);
  int n = trace_sockaddr(file_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  EXPECT_EQ(text(), "family=10, (AF_INET=2)\nfamily=2, (AF_INET=2)\nip 198.18.0.2 port 8080\n");
  EXPECT_EQ(n, int(strlen("family=2, (AF_INET=2)\nip 198.18.0.2 port 8080\n")));
  // An address the process cannot read is not dumped.
  EXPECT_EQ(trace_sockaddr(file_, reinterpret_cast<sockaddr*>(uintptr_t(8)), 16), 0);
}

TEST_F(TraceFile, LineThatCrossesTheBudgetIsTheLastOne) {
  trace_line("write", "%d %d\n", 3, 0);
  // Exactly spent: one more line passes the gate, and it crosses the budget.
  trace_budget = trace_bytes.load();
  for (int i = 1; i < 5; ++i) trace_line("write", "%d %d\n", 3, i);
  std::string t = text();
  EXPECT_TRUE(std::regex_match(t, std::regex(R"(\d{6}/\d+ write 3 0\n\d{6}/\d+ write 3 1\n)"))) << t;
  EXPECT_EQ(trace_bytes.load(), int32_t(t.size()));
}

TEST_F(TraceFile, ResultLinesAndErrnoKept) {
  errno = ECONNREFUSED;
  trace_return("vyx_connect", -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  trace_return("vyx_close", 0);
  EXPECT_TRUE(std::regex_match(
      text(), std::regex(R"(\d{6} vyx_connect return -1 \(Connection refused\)\n\d{6} vyx_close return 0\n)")));
}

// Each form of the result line and the hand-over line, with errno kept by every writer.
TEST_F(TraceFile, ResultLinesWithTheDescriptorAndHandOvers) {
  const struct {
    void (*write)();
    const char* line;
  } cases[] = {
      {[] { trace_return_fd("vyx_recv", 7, 300); }, R"(\d{6} vyx_recv return 300 \(7\)\n)"},
      {[] { trace_return_fd("vyx_readv", 7, -1); },
       R"(\d{6} vyx_readv return -1 \(7, Connection refused\)\n)"},
      {[] { trace_return_fd("vyx_epoll_pwait2", -1, -1); },
       R"(\d{6} vyx_epoll_pwait2 return -1 \(-1, Connection refused\)\n)"},
      {[] { trace_kernel_call("vyx_recvmsg", "recvfrom"); },
       R"(\d{6}/\d+ vyx_recvmsg doing recvfrom on kernel\n)"},
      {[] { trace_kernel_call(nullptr, "readv"); }, ""},
  };
  for (const auto& c : cases) {
    rewind(file_);
    ASSERT_EQ(ftruncate(fileno(file_), 0), 0);
    errno = ECONNREFUSED;
    c.write();
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_TRUE(std::regex_match(text(), std::regex(c.line))) << c.line << ": " << text();
  }
}

TEST(CallerMemory, UnreadableMemoryIsRefused) {
  int value = 42, copy = 0;
  EXPECT_TRUE(read_caller_memory(&copy, &value, sizeof value));
  EXPECT_EQ(copy, 42);
  EXPECT_FALSE(read_caller_memory(&copy, nullptr, sizeof copy));
  EXPECT_FALSE(read_caller_memory(&copy, reinterpret_cast<void*>(uintptr_t(8)), sizeof copy));
}

TEST(LogName, FitsOrIsRefused) {
  char name[log_name_size];
  ASSERT_EQ(make_log_name(name, "/tmp"), 0);
  EXPECT_TRUE(std::regex_match(
      name, std::regex(R"(/tmp/zorvnic_log_\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d\.\d{6}\.log)")))
      << name;
  EXPECT_EQ(make_log_name(name, std::string(212, 'd').c_str()), 0);
  EXPECT_EQ(make_log_name(name, std::string(213, 'd').c_str()), -1);
  EXPECT_STREQ(name, "");
}

TEST(StatusBlock, LibraryListNamesEachRunOnce) {
  const char* maps =
      "7f00-7f01 r--p 0 08:01 1 /lib/libc.so.6\n7f01-7f02 r-xp 0 08:01 1 /lib/libc.so.6\n"
      "7f02-7f03 rw-p 0 00:00 0 [heap]\n7f03-7f04 r--p 0 08:01 2 /lib/libm.so.6\n"
      "7f04-7f05 r--p 0 08:01 1 /lib/libc.so.6\n";
  char out[128];
  list_libraries(maps, out, sizeof out);
  EXPECT_STREQ(out, "/lib/libc.so.6\n/lib/libm.so.6\n/lib/libc.so.6\n");
  // A list that would overflow its area ends with the last name that fits whole.
  char small[20];
  EXPECT_EQ(list_libraries(maps, small, sizeof small), 15u);
  EXPECT_STREQ(small, "/lib/libc.so.6\n");
}

TEST(StatusBlock, CutAtTheBufferAndTerminated) {
  char big[262144];
  size_t len = format_status_block(big, sizeof big);
  EXPECT_EQ(len, strlen(big));
  EXPECT_EQ(std::string(big).rfind("zorvsock githash ", 0), 0u);
  EXPECT_NE(std::string(big).find("\nos-release:\n "), std::string::npos);
  char small[100];
  EXPECT_EQ(format_status_block(small, sizeof small), 99u);
  EXPECT_EQ(strlen(small), 99u);
}

// Every process holds a shared lock on its log while it lives: pruning by another process
// leaves that log alone, however old.
TEST(LogPruning, ALogHeldByALiveProcessStays) {
  char dir[] = "/tmp/zorvload_prune.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  auto path = [&](int day) {
    return std::string(dir) + "/zorvnic_log_2020-01-" + std::to_string(day) + ".log";
  };
  for (int day = 10; day < 16; ++day) close(open(path(day).c_str(), O_CREAT | O_WRONLY, 0644));
  const int held = open(path(10).c_str(), O_RDONLY);
  ASSERT_EQ(flock(held, LOCK_SH), 0);
  EXPECT_EQ(prune_logs(4, dir), 0);
  EXPECT_EQ(access(path(10).c_str(), F_OK), 0) << "the held log was deleted";
  EXPECT_NE(access(path(11).c_str(), F_OK), 0) << "an old log that no one holds stayed";
  for (int day = 12; day < 16; ++day) EXPECT_EQ(access(path(day).c_str(), F_OK), 0);
  close(held);
  EXPECT_EQ(prune_logs(4, dir), 0);
  EXPECT_NE(access(path(10).c_str(), F_OK), 0) << "a log no longer held stays for ever";
  for (int day = 10; day < 16; ++day) unlink(path(day).c_str());
  rmdir(dir);
}

}  // namespace
