// The descriptor table of both preload libraries against Linux peers: closes made with
// syscall(), the dup family, a forked child's calls on an inherited socket and sendfile,
// each run beside the same program without a preload library; the simulator's counters
// show the card carried the connections.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "helper_runs.h"
#include "test_support.h"

using namespace std::chrono_literals;

namespace {

const std::string peer_ip = "198.18.0.2";
const std::string card_ip = "198.18.0.1";

std::string read_file(const std::string& path) { return zt::run("cat " + path).out; }

// The peer's lines, sorted: the connections end in their own order.
std::string sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line != "listening") lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// descriptor_peer.py collect in the peer namespace, listening before the constructor
// returns, stopped by its process id.
struct collector {
  std::string log;
  std::string pid;
  collector(const std::string& dir, int port, const std::string& tag) : log(dir + "/peer-" + tag) {
    pid = zt::peer_run("/usr/bin/python3 " ZL_DESC_PROGRAMS " collect " + peer_ip + " " + std::to_string(port) +
                       " >" + log + " 2>&1 & echo $!")
              .out;
    zt::wait_until([&] { return read_file(log).find("listening") != std::string::npos; }, 20000);
  }
  ~collector() { zt::peer_run("kill " + pid); }
  // The lines of n ended connections, sorted.
  std::string ended(size_t n) const {
    zt::wait_until([&] { return count_of(read_file(log), "got ") >= n; }, 20000);
    return sorted_lines(read_file(log));
  }
};

class Descriptors : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ZT_REQUIRE_LAUNCHED();
    ASSERT_TRUE(runs_.make("zorvload_desc"));
  }
  void TearDown() override { runs_.remove(); }

  std::string env(bool preloaded) const { return helper_runs::env(preloaded ? GetParam() : nullptr); }
  zt::cmd_result helper(bool preloaded, const std::string& args) const {
    return runs_.run(preloaded ? GetParam() : nullptr, ZL_DESC_HELPER, args);
  }
  // Each library, run and case has ports of its own.
  int port(int n, bool preloaded) const {
    return (std::string(GetParam()) == "libzorvload.so" ? 23000 : 23200) + n * 2 + preloaded;
  }
  // A mode run against a collector: the helper's output and the peer's.
  std::pair<std::string, std::string> collected(bool preloaded, const std::string& mode, int n,
                                                size_t connections) const {
    const int p = port(n, preloaded);
    collector peer(dir_, p, mode + std::to_string(preloaded));
    auto r = helper(preloaded, mode + " " + peer_ip + " " + std::to_string(p));
    EXPECT_EQ(r.status, 0) << r.out;
    return {r.out, peer.ended(connections)};
  }

  helper_runs runs_;
  const std::string& dir_ = runs_.dir;
};

INSTANTIATE_TEST_SUITE_P(Both, Descriptors,
                         ::testing::Values("libzorvload.so", "libzorvload_unsafe.so"),
                         [](const auto& info) {
                           return std::string(info.param) == "libzorvload.so" ? "locked"
                                                                               : "unsafe";
                         });

// syscall(SYS_close) on a connected socket and on an accepted one: the next socket and the
// next accept get the same number and work over the card, the closed connections' peers
// see them end, and no record is found in the way.
TEST_P(Descriptors, ASocketClosedBySyscallGivesItsNumberToTheNextSocketAndAccept) {
  std::string outputs[2], peers[2], readers[2];
  for (bool preloaded : {false, true}) {
    const int p = port(0, preloaded), lp = port(1, preloaded);
    collector peer(dir_, p, "syscall" + std::to_string(preloaded));
    const long frames = zt::sim_counter("tcp_tx_frames");
    const std::string out = dir_ + "/helper.out";
    zt::run("cd " + dir_ + " && (timeout 120 env " + env(preloaded) + ZL_DESC_HELPER +
            " syscall-close " + peer_ip + " " + std::to_string(p) + " " + card_ip + " " +
            std::to_string(lp) + " >" + out + " 2>&1 &)");
    zt::wait_until([&] { return read_file(out).find("listening") != std::string::npos; }, 20000);
    readers[preloaded] = sorted_lines(
        zt::peer_run("/usr/bin/python3 " ZL_DESC_PROGRAMS " read-two " + card_ip + " " + std::to_string(lp)).out);
    zt::wait_until([&] { return read_file(out).find("accept after") != std::string::npos; }, 20000);
    outputs[preloaded] = zt::without_routine_line(read_file(out));
    peers[preloaded] = peer.ended(2);
    if (preloaded) {
      EXPECT_GT(zt::sim_counter("tcp_tx_frames"), frames);
    }
  }
  EXPECT_EQ(outputs[0],
            "syscall close 0\nsocket after syscall close: same number 1, write 1\nlistening\n"
            "accept after syscall close: same number 1, write 1\n");
  EXPECT_EQ(outputs[1], outputs[0]);
  EXPECT_EQ(peers[0], "got closed-by-syscall eof\ngot next-socket eof\n");
  EXPECT_EQ(peers[1], peers[0]);
  EXPECT_EQ(readers[0], "got first-accepted eof\ngot second-accepted eof\n");
  EXPECT_EQ(readers[1], readers[0]);
}

// dup, dup2, dup3, F_DUPFD_CLOEXEC, syscall(SYS_dup) and dup2 onto standard output:
// writes on either number arrive, the close of one leaves the other working and the
// last close ends the connection with our FIN, not a reset.
TEST_P(Descriptors, ADuplicateSharesTheConnectionUntilItsLastClose) {
  const long resets = zt::sim_counter("tcp_tx_resets");
  auto kernel = collected(false, "dup-family", 2, 6);
  auto card = collected(true, "dup-family", 2, 6);
  EXPECT_EQ(kernel.first,
            "dup: cloexec 0 0, write after closing the first 1, close 0\n"
            "dup2: cloexec 0 0, write after closing the first 1, close 0\n"
            "dup3: cloexec 0 1, write after closing the first 1, close 0\n"
            "F_DUPFD_CLOEXEC: cloexec 0 1, write after closing the first 1, close 0\n"
            "syscall-dup: cloexec 0 0, write after closing the first 1, close 0\n"
            "stdout: put back\n");
  EXPECT_EQ(card.first, kernel.first);
  EXPECT_EQ(kernel.second,
            "got F_DUPFD_CLOEXEC:on-copy:after-first-close eof\n"
            "got dup2:on-copy:after-first-close eof\n"
            "got dup3:on-copy:after-first-close eof\n"
            "got dup:on-copy:after-first-close eof\n"
            "got stdout:on-standard-output eof\n"
            "got syscall-dup:on-copy:after-first-close eof\n");
  EXPECT_EQ(card.second, kernel.second);
  EXPECT_EQ(zt::sim_counter("tcp_tx_resets"), resets);
}

// A forked child's calls on a card socket it inherited fail at once (EBADFD; the
// kernel's socket would let the child write), its close leaves the parent's connection
// alone, and nothing the child wrote is lost unseen.
TEST_P(Descriptors, AForkedChildCannotUseTheParentsCardSocket) {
  auto kernel = collected(false, "fork-child", 3, 1);
  auto card = collected(true, "fork-child", 3, 1);
  EXPECT_EQ(kernel.first, "child write 6\nchild close 0\nparent write after the child 1\n");
  EXPECT_EQ(kernel.second, "got parent-before;child;parent-after eof\n");
  EXPECT_EQ(card.first, "child write EBADFD\nchild close 0\nparent write after the child 1\n");
  EXPECT_EQ(card.second, "got parent-before;parent-after eof\n");
}

// Forking servers, a C accept-fork loop and python3's ForkingTCPServer: the child's
// receive on the inherited socket fails at once, the parent's close ends the connection,
// and the peer sees its request unanswered (never an answer that went nowhere).
TEST_P(Descriptors, AForkingServerEndsTheConnectionUnanswered) {
  const std::string c_server = ZL_DESC_HELPER " fork-server ";
  const std::string py_server = "/usr/bin/python3 " ZL_DESC_PROGRAMS " forking-echo ";
  struct forking_case {
    const char* name;
    std::string command;
    const char* kernel_child;
    const char* card_child;
  } cases[] = {
      {"accept-fork loop", c_server, "child echoed 5, send 1\n", "child recv EBADFD\n"},
      {"ForkingTCPServer", py_server, "child echoed hello\n", "child: File descriptor in bad state\n"},
  };
  int n = 6;
  for (const forking_case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool preloaded : {false, true}) {
      const int p = port(n++, preloaded);
      const std::string out = dir_ + "/server.out";
      zt::run("cd " + dir_ + " && (timeout 120 env " + env(preloaded) + c.command + card_ip +
              " " + std::to_string(p) + " >" + out + " 2>&1 &)");
      zt::wait_until([&] { return read_file(out).find("listening") != std::string::npos; }, 20000);
      const std::string asked =
          zt::peer_run("/usr/bin/python3 " ZL_DESC_PROGRAMS " ask " + card_ip + " " + std::to_string(p)).out;
      EXPECT_EQ(asked, preloaded ? "got  eof\n" : "got hello eof\n");
      zt::wait_until([&] { return read_file(out).find("child") != std::string::npos; }, 20000);
      const std::string server = read_file(out);
      EXPECT_NE(server.find(preloaded ? c.card_child : c.kernel_child), std::string::npos) << server;
    }
  }
}

// An event loop serving 200 connections that clients open, use and close, 20 at a time,
// while its own closes empty their slots: it sees the end of every one, as on the
// kernel's sockets, and the card took them all.
TEST_P(Descriptors, AnEventLoopSeesTheEndOfEveryConnection) {
  const std::string programs = "/usr/bin/python3 " ZL_DESC_PROGRAMS " ";
  for (bool preloaded : {false, true}) {
    const int p = port(12, preloaded);
    const long queued = zt::sim_counter("tcp_listen_queued");
    const std::string out = dir_ + "/ends.out";
    zt::run("cd " + dir_ + " && (timeout 120 env " + env(preloaded) + programs + "epoll-ends " +
            card_ip + " " + std::to_string(p) + " 200 >" + out + " 2>&1 &)");
    zt::wait_until([&] { return read_file(out).find("listening") != std::string::npos; }, 20000);
    zt::peer_run(programs + "open-use-close " + card_ip + " " + std::to_string(p) + " 200");
    zt::wait_until([&] { return read_file(out).find("ended") != std::string::npos; }, 30000);
    EXPECT_NE(read_file(out).find("opened 200 ended 200\n"), std::string::npos)
        << (preloaded ? "card: " : "kernel: ") << read_file(out);
    if (preloaded) {
      EXPECT_GE(zt::sim_counter("tcp_listen_queued") - queued, 200);
    }
  }
}

// sendfile at an offset, from the file position and on a non-blocking socket: the same
// counts and positions as the kernel's, and every byte of the file arrives.
TEST_P(Descriptors, SendfileSendsTheFileOverTheCard) {
  auto kernel = collected(false, "sendfile", 4, 1);
  const long kernel_frames = zt::sim_counter("tcp_tx_frames");
  auto card = collected(true, "sendfile", 4, 1);
  EXPECT_EQ(kernel.first,
            "sendfile at offset 1048576, offset now 1048576, position 4194304\n"
            "sendfile from the position 1048576, position now 2097152\n"
            "non-blocking sendfile 2097152, position now 4194304, partial or EAGAIN seen 1\n");
  EXPECT_EQ(card.first, kernel.first);
  EXPECT_NE(kernel.second.find("got 4194304 bytes sha256 "), std::string::npos) << kernel.second;
  EXPECT_EQ(card.second, kernel.second);
  EXPECT_GT(zt::sim_counter("tcp_tx_frames") - kernel_frames, 4194304 / 1460);
}

#ifdef ZL_DESC_HELPER_TSAN
// Threads that duplicate and close copies of a card socket while another writes on it,
// the program and the library built with the thread sanitizer: a report ends the program
// with status 66.
TEST_P(Descriptors, DuplicatesComingAndGoingUnderTheThreadSanitizer) {
  const int p = port(5, true);
  collector peer(dir_, p, "tsan");
  std::string lib = GetParam();
  lib.replace(lib.find(".so"), 3, "_tsan.so");
  auto r = zt::run("cd " + dir_ + " && timeout 300 env NOTRACE=1 "
                   "TSAN_OPTIONS=halt_on_error=1:exitcode=66 LD_PRELOAD=" ZL_TSAN_LIB_DIR "/" +
                   lib + " " ZL_DESC_HELPER_TSAN " dup-threads " + peer_ip + " " + std::to_string(p));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(zt::without_routine_line(r.out), "written 32000 while copies came and went\n");
  const std::string ended = peer.ended(1);
  EXPECT_EQ(ended.find("got 32000 bytes sha256 "), 0u) << ended;
  EXPECT_NE(ended.find(" eof\n"), std::string::npos) << ended;
}
#endif

}  // namespace
