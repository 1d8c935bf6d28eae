// The receive and send calls of ordinary programs on sockets that the card serves, under
// both preload libraries, against Linux peers in the peer namespace: every call's answer
// is the one the kernel gives the same program without a preload library, and the
// simulator's counters show that the card carried the traffic.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>

#include "helper_runs.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

uint64_t counter(const std::string& name) { return uint64_t(zt::sim_counter(name)); }

// A data_peer.py server in the peer namespace, listening before the constructor returns.
struct peer_server {
  int port;
  std::string ready;

  peer_server(const std::string& kind, int p, const std::string& dir) : port(p) {
    ready = dir + "/ready-" + kind + std::to_string(p);
    zt::peer_run("READY=" + ready + " /usr/bin/python3 " ZL_DATA_PEER " " + kind +
                 " 198.18.0.2 " + std::to_string(p) + " >" + dir + "/peer-" + kind + ".log 2>&1 &");
    for (int i = 0; i < 600 && access(ready.c_str(), F_OK) != 0; ++i) std::this_thread::sleep_for(50ms);
  }
  ~peer_server() { zt::peer_run("pkill -f 'data_peer.py [a-z]* 198.18.0.2 " + std::to_string(port) + "'"); }
};

class DataCalls : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ZT_REQUIRE_LAUNCHED();
    ASSERT_TRUE(runs_.make("zorvload_data"));
  }
  void TearDown() override { runs_.remove(); }

  // The program's output (under a library without its routine line).
  zt::cmd_result helper(bool preloaded, const std::string& args) const {
    return runs_.run(preloaded ? GetParam() : nullptr, ZL_DATA_HELPER, args);
  }
  // The port of a case: each library and case has its own, so that a server of one run
  // still ending never meets the next.
  int port(int n) const { return (std::string(GetParam()) == "libzorvload.so" ? 19000 : 19100) + n; }

  helper_runs runs_;
  const std::string& dir_ = runs_.dir;
};

INSTANTIATE_TEST_SUITE_P(Both, DataCalls, ::testing::Values("libzorvload.so", "libzorvload_unsafe.so"),
                         [](const auto& info) {
                           return std::string(info.param) == "libzorvload.so" ? "locked" : "unsafe";
                         });

TEST_P(DataCalls, TcpCallsAnswerAsTheKernelDoes) {
  peer_server peer("tcp", port(0), dir_);
  const std::string args = "tcp 198.18.0.2 " + std::to_string(peer.port);
  auto kernel = helper(false, args);
  ASSERT_EQ(kernel.status, 0) << kernel.out;
  const uint64_t rx0 = counter("tcp_rx_delivered"), tx0 = counter("tcp_tx_bytes");
  auto card = helper(true, args);
  EXPECT_EQ(card.status, 0);
  EXPECT_EQ(card.out, kernel.out);
  EXPECT_GT(counter("tcp_rx_delivered"), rx0);
  EXPECT_GT(counter("tcp_tx_bytes") - tx0, uint64_t(8 << 20));
}

TEST_P(DataCalls, UdpCallsAnswerAsTheKernelDoes) {
  peer_server peer("udp", port(10), dir_);
  const std::string args = "udp 198.18.0.2 " + std::to_string(peer.port);
  auto kernel = helper(false, args);
  ASSERT_EQ(kernel.status, 0) << kernel.out;
  const uint64_t rx0 = counter("udp_rx_delivered"), tx0 = counter("udp_tx_frames");
  auto card = helper(true, args);
  EXPECT_EQ(card.status, 0);
  EXPECT_EQ(card.out, kernel.out);
  EXPECT_GT(counter("udp_rx_delivered") - rx0, 10u);
  EXPECT_GT(counter("udp_tx_frames") - tx0, 10u);
}

// The trace of a small program on card sockets, under VERBOSE: the lines a reader of the
// log follows its receives, waits and hand-overs to the C library by.
TEST_P(DataCalls, TraceLinesOfReceivesWaitsAndHandOvers) {
  peer_server peer("tcp", port(20), dir_);
  const std::string args = "traced 198.18.0.2 " + std::to_string(peer.port);
  auto kernel = helper(false, args);
  ASSERT_EQ(kernel.status, 0) << kernel.out;
  const std::string log = dir_ + "/traced.log";
  auto card = runs_.run_traced(GetParam(), ZL_DATA_HELPER, args, log);
  EXPECT_EQ(card.status, 0);
  EXPECT_EQ(card.out, kernel.out);
  const std::string text = zt::run("cat " + log).out;
  const std::string at = R"((^|\n)\d{6}/-?\d+ )";  // a line's time and thread
  const std::string fd = R"(\(\d+\)\n)";
  const std::string lines[] = {
      at + R"(vyx_ppoll now sec \d+, timeout nsec \d+\n)",
      at + R"(vyx_ppoll timeout sec 3, timeout nsec 0\n)" + at.substr(6) +
          R"(vyx_ppoll timeout sec \d+, timeout nsec \d+\n)",
      at + R"(_recv_tcp zorvsock_tcp_zc_receive = 1000\n)",
      R"(\n\d{6} vyx_recv return 300 )" + fd,
      // readv's entry line ends with its iovec items, which the next line follows.
      R"(iov\[0\] 1000 \d{6}/-?\d+ _recv_tcp iov recv tcp\n)" + at.substr(6) +
          R"(_recv_tcp buf left 700\n)",
      R"(\n\d{6} vyx_readv return 700 )" + fd,
      at + R"(vyx_pselect ird: [0-9a-f]{8}\n)",
      at + R"(vyx_pselect now sec \d+, timeout nsec \d+\n)",
      at + R"(check_readfds select fd=\d+ readable\n)",
      at + R"(check_readfds select rlnx fd=\d+\n)",
      at + R"(vyx_pselect r=1 w=0 e=0 orig_n=0\n)",
      at + R"(vyx_pselect rd: [0-9a-f]{8}\n)",
      at + R"(vyx_epoll_ctl EPOLLET\n)",
      at + R"(check_error_us TCP stat: \S+\n)",
      at + R"(vyx_epoll_pwait2 EPOLLIN fd=\d+ readable\n)",
      at + R"(vyx_epoll_pwait2 events_found 1\n)",
      R"(\n\d{6} vyx_epoll_pwait2 return 1 )" + fd,
      R"(\n\d{6} vyx_read return 10 )" + fd,
      at + R"(vyx_recv doing recv on kernel\n)",
      at + R"(vyx_recvfrom doing recvfrom on kernel\n)",
      at + R"(vyx_read doing read on kernel\n)",
      at + R"(\S+ set fd=\d+ non-blocking\n)",
      at + R"(vyx_sendto calling vyx_connect/UDP\n)",
      at + "vyx_sendto udp sendto to C6120002, port=" + std::to_string(peer.port) + "\n",
  };
  for (const std::string& l : lines) EXPECT_TRUE(std::regex_search(text, std::regex(l))) << l;
}

// Lines that begin with `prefix`, and the others.
std::pair<std::string, std::string> split_lines(const std::string& text, const std::string& prefix) {
  std::pair<std::string, std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string line = text.substr(at, end - at);
    (line.compare(0, prefix.size(), prefix) == 0 ? out.first : out.second) += line;
    at = end;
  }
  return out;
}

// A Python program reads SO_TIMESTAMPNS, SO_TIMESTAMP and SO_TIMESTAMPING from recvmsg:
// the messages, their lengths and MSG_CTRUNC are the kernel's; the hardware slot, which
// a kernel socket on the peer's veth leaves empty, holds the card's receive time.
TEST_P(DataCalls, ReceiveTimeStampsReadByPython) {
  peer_server peer("udp", port(12), dir_);
  const std::string cmd = "/usr/bin/python3 " ZL_RX_TIMESTAMPS " 198.18.0.2 " + std::to_string(peer.port);
  auto kernel = zt::run("cd " + dir_ + " && timeout 60 " + cmd);
  ASSERT_EQ(kernel.status, 0) << kernel.out;
  const uint64_t rx0 = counter("udp_rx_delivered");
  auto card = zt::run("cd " + dir_ + " && timeout 60 env NOTRACE=1 LD_PRELOAD=" ZL_PRELOAD_PREFIX +
                      std::string(ZL_LIB_DIR) + "/" + GetParam() + " " ZL_ENV_EXTRA " " + cmd);
  EXPECT_EQ(card.status, 0) << card.out;
  const auto [kernel_hw, kernel_rest] = split_lines(kernel.out, "hardware slot");
  const auto [card_hw, card_rest] = split_lines(zt::without_routine_line(card.out), "hardware slot");
  EXPECT_EQ(card_rest, kernel_rest);
  EXPECT_EQ(card_hw, "hardware slot near\nhardware slot only: 1/37/48 near\n");
  EXPECT_EQ(kernel_hw, "hardware slot empty\nhardware slot only: none empty\n");
  EXPECT_GE(counter("udp_rx_delivered") - rx0, 8u);
}

// Inside a preloaded program standard output is the program's data (nc > file): the
// library's own lines (here the UDP session's status dump of VYX_DEBUG, once a second)
// go to standard error, and the output holds only what the program wrote.
TEST_P(DataCalls, LibraryLinesStayOffTheProgramsOutput) {
  const std::string out = dir_ + "/out", err = dir_ + "/err";
  const std::string program =
      "import socket, time\n"
      "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
      "s.connect(('198.18.0.2', " + std::to_string(port(13)) + "))\n"
      "time.sleep(1.5)\n"
      "print('done')\n";
  zt::run("printf '%s' \"" + program + "\" > " + dir_ + "/p.py");
  // In a subshell: the runner sends the command's standard error to its output.
  auto r = zt::run("(cd " + dir_ + " && timeout 60 env NOTRACE=1 VYX_DEBUG=1 LD_PRELOAD=" ZL_PRELOAD_PREFIX +
                   std::string(ZL_LIB_DIR) + "/" + GetParam() + " " ZL_ENV_EXTRA
                   " /usr/bin/python3 p.py >" + out + " 2>" + err + ")");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(zt::run("cat " + out).out, "done\n");
  EXPECT_NE(zt::run("cat " + err).out.find("UDP rx_dma_size"), std::string::npos);
}

TEST_P(DataCalls, ReaderAndWriterThreadsShareOneSocket) {
  peer_server peer("tcp", port(20), dir_);
  const uint64_t tx0 = counter("tcp_tx_bytes");
  auto card = helper(true, "threads 198.18.0.2 " + std::to_string(peer.port) + " 16");
  EXPECT_EQ(card.status, 0);
  EXPECT_EQ(card.out, "reader and writer on one socket 16777216 ok same\n");
  EXPECT_GE(counter("tcp_tx_bytes") - tx0, uint64_t(16 << 20));
}

#ifdef ZL_DATA_HELPER_TSAN
// The helper built with the thread sanitizer, under the library's sanitized build: a
// report ends the program with status 66.
zt::cmd_result run_sanitized(const std::string& dir, const std::string& lib_name,
                             const std::string& args) {
  std::string lib = lib_name;
  lib.replace(lib.find(".so"), 3, "_tsan.so");
  return zt::run("cd " + dir + " && timeout 300 env NOTRACE=1 TSAN_OPTIONS=halt_on_error=1:exitcode=66 "
                 "LD_PRELOAD=" ZL_TSAN_LIB_DIR "/" + lib + " " ZL_DATA_HELPER_TSAN " " + args);
}

// The reader and writer threads of the test above, sanitized.
TEST_P(DataCalls, ReaderAndWriterThreadsUnderTheThreadSanitizer) {
  peer_server peer("tcp", port(21), dir_);
  auto r = run_sanitized(dir_, GetParam(), "threads 198.18.0.2 " + std::to_string(peer.port) + " 4");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(zt::without_routine_line(r.out), "reader and writer on one socket 4194304 ok same\n");
}

// A reader blocked in recv beside a writer, woken by shutdown or close from a third thread.
TEST_P(DataCalls, BlockedReaderWokenByAnotherThreadUnderTheThreadSanitizer) {
  peer_server peer("tcp", port(23), dir_);
  auto r = run_sanitized(dir_, GetParam(), "woken-readers 198.18.0.2 " + std::to_string(peer.port));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(zt::without_routine_line(r.out),
            "reader woken by shutdown\nreader woken by close\n");
}
#endif

// ---- 64 MiB each way, by unmodified programs -------------------------------------------

// Runs `server` in the background (it writes READY when it listens, or listens on
// `port` in the peer namespace), then `client`, then waits for the server to end; the
// outputs of both.
std::string client_and_server(const std::string& dir, const std::string& server,
                              const std::string& client, int port, bool server_signals) {
  const std::string ready = dir + "/ready" + std::to_string(port), out = dir + "/server.out";
  const std::string done = "server ended";
  zt::run("rm -f " + ready + " && ((READY=" + ready + " " + server + "; echo " + done + ") >" +
          out + " 2>&1 &)");
  const std::string up = server_signals ? "[ -e " + ready + " ]"
                                        : "[ -n \"$(nsenter --net=$ZORV_PEER_NETNS ss -Hltn sport = :" +
                                              std::to_string(port) + ")\" ]";
  zt::run("for i in $(seq 600); do " + up + " && break; sleep 0.05; done");
  const std::string mine = zt::run(client).out;
  zt::run("for i in $(seq 1200); do grep -q '" + done + "' " + out + " && break; sleep 0.1; done");
  std::string theirs = zt::run("cat " + out).out;
  if (const size_t at = theirs.find(done); at != std::string::npos) theirs.erase(at);
  return zt::without_routine_line(mine + theirs);
}

TEST_P(DataCalls, SixtyFourMebibytesEachWayByPythonClientsAndServers) {
  const std::string py = "/usr/bin/python3 " ZL_BULK_TRANSFER " ";
  const std::string local = "timeout 300 env NOTRACE=1 LD_PRELOAD=" ZL_PRELOAD_PREFIX +
                            std::string(ZL_LIB_DIR) + "/" + GetParam() + " " ZL_ENV_EXTRA " ";
  const std::string peer = "nsenter --net=" + std::string(getenv("ZORV_PEER_NETNS")) + " ";
  const struct {
    const char* name;
    bool we_serve;
    const char* proto;
    const char* counter;
  } cases[] = {{"TCP client", false, "tcp", "tcp_tx_bytes"},
               {"TCP server", true, "tcp", "tcp_tx_bytes"},
               {"UDP client", false, "udp", "udp_tx_bytes"},
               {"UDP server", true, "udp", "udp_tx_bytes"}};
  int n = 30;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string p = std::to_string(port(n++));
    const std::string addr = c.we_serve ? "198.18.0.1 " : "198.18.0.2 ";
    const std::string server = (c.we_serve ? local : peer) + py + c.proto + "-server " + addr + p;
    const std::string client = (c.we_serve ? peer : local) + py + c.proto + "-client " + addr + p;
    const uint64_t tx0 = counter(c.counter);
    const std::string out = client_and_server(dir_, server, client, port(n - 1), true);
    EXPECT_EQ(out.substr(out.find("received")),
              "received 67108864 bytes, same\nreceived 67108864 bytes, same\n");
    EXPECT_GE(counter(c.counter) - tx0, uint64_t(64 << 20));
  }
}

// socat, a C program, as a TCP client that sends a file and one that receives one. The
// same commands run over kernel sockets first, so that a fault of the commands themselves
// (both ends reading, say) is told as such and not as a stall of ours.
TEST_P(DataCalls, SixtyFourMebibytesEachWayBySocat) {
  const std::string file = dir_ + "/data", got = dir_ + "/got";
  zt::run("head -c 67108864 /dev/urandom > " + file);
  const std::string kernel = "timeout 300 socat -u ";
  const std::string local = "timeout 300 env NOTRACE=1 LD_PRELOAD=" ZL_PRELOAD_PREFIX +
                            std::string(ZL_LIB_DIR) + "/" + GetParam() + " " ZL_ENV_EXTRA " socat -u ";
  const std::string peer = "nsenter --net=" + std::string(getenv("ZORV_PEER_NETNS")) + " socat -u ";
  for (bool sending : {true, false}) {
    SCOPED_TRACE(sending ? "sending" : "receiving");
    const int p = port(sending ? 40 : 41);
    const std::string listen = "TCP-LISTEN:" + std::to_string(p) + ",bind=198.18.0.2,reuseaddr ";
    const std::string connect = "TCP:198.18.0.2:" + std::to_string(p) + " ";
    const std::string sink = "OPEN:" + got + ",creat,trunc";
    // `ours` (socat on our side) and the peer's socat move the file into `got`.
    auto transfer = [&](const std::string& ours) {
      zt::run("rm -f " + got);
      if (sending)
        client_and_server(dir_, peer + listen + sink, ours + file + " " + connect, p, false);
      else
        client_and_server(dir_, peer + file + " " + listen, ours + connect + sink, p, false);
      return zt::run("cmp " + file + " " + got + " && echo same").out;
    };
    ASSERT_EQ(transfer(kernel), "same\n") << "the commands fail over kernel sockets";
    const uint64_t rx0 = counter("tcp_rx_delivered"), tx0 = counter("tcp_tx_bytes");
    EXPECT_EQ(transfer(local), "same\n");
    if (sending) EXPECT_GE(counter("tcp_tx_bytes") - tx0, uint64_t(64 << 20));
    else EXPECT_GT(counter("tcp_rx_delivered") - rx0, uint64_t(40000));
  }
}

}  // namespace
