// connect, bind, listen, accept, the name calls, shutdown and close of ordinary programs
// under both preload libraries, against Linux peers in the peer namespace: the same
// results as the kernel gives without a preload library, over card sessions (the
// simulator's counters), with the fallbacks logged with their reasons.
#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "test_support.h"

namespace {

const char* const peer_ip = "198.18.0.2";
const char* const card_ip = "198.18.0.1";

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A command in the background until the scope ends, its output in a file.
class background {
 public:
  background(const std::string& cmd, const std::string& out) {
    pid_ = zt::run("exec " + cmd + " >" + out + " 2>&1 & echo $!").out;
  }
  ~background() { zt::run("kill " + pid_ + " 2>/dev/null"); }

 private:
  std::string pid_;
};

// A python3 program in the peer namespace, in the background until the scope ends.
struct peer_program : background {
  peer_program(const std::string& code, const std::string& out)
      : background("nsenter --net=$ZORV_PEER_NETNS python3 -c '" + code + "'", out) {}
};

// Accepts every connection and keeps it open.
std::string holding_server(int port) {
  return "import socket,time\ns=socket.socket()\ns.setsockopt(socket.SOL_SOCKET,"
         "socket.SO_REUSEADDR,1)\ns.bind((\"" + std::string(peer_ip) + "\"," +
         std::to_string(port) + "))\ns.listen(64)\nheld=[]\nwhile True:\n held.append(s.accept())";
}

// Makes n connections to the card address, one after the other, and keeps them open.
std::string connecting_client(int port, int n) {
  return "import socket,time\nheld=[]\nfor i in range(" + std::to_string(n) +
         "):\n held.append(socket.create_connection((\"" + card_ip + "\"," +
         std::to_string(port) + "),timeout=30))\ntime.sleep(300)";
}


// A listener on the card does not show in the kernel's tables: our server says when it
// listens.
bool wait_for_text(const std::string& path, const std::string& text,
                   const std::string& or_text = "\x01", int seconds = 20) {
  for (int i = 0; i < seconds * 20; ++i) {
    const std::string now = read_file(path);
    if (now.find(text) != std::string::npos || now.find(or_text) != std::string::npos)
      return true;
    usleep(50000);
  }
  return false;
}

bool wait_listening(const std::string& ns_prefix, int port) {
  for (int i = 0; i < 400; ++i) {
    if (!zt::run(ns_prefix + "ss -Hlnt 'sport = :" + std::to_string(port) + "'").out.empty())
      return true;
    usleep(50000);
  }
  return false;
}

class Ctl : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zorvload_ctl.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    // Each library has ports of its own: a peer of the other's run may still be ending.
    port_ = std::string(GetParam()) == "libzorvload.so" ? 21000 : 22000;
    port_ += ::testing::UnitTest::GetInstance()->current_test_info()->line() % 97 * 10;
  }
  void TearDown() override { zt::run("rm -rf " + dir_); }

  std::string preload() const {
    return "LD_PRELOAD=" + std::string(ZL_PRELOAD_PREFIX) + ZL_LIB_DIR + "/" + GetParam() +
           " " ZL_ENV_EXTRA " ZORVLOAD_STATUS_LOG=" + dir_ + "/status.log ZORVLOAD_LOGDIR=" +
           dir_ + " ";
  }
  zt::cmd_result with(const std::string& args) const {
    return zt::run("env " + preload() + ZL_CTL_HELPER + " " + args);
  }
  zt::cmd_result without(const std::string& args) const {
    return zt::run(std::string(ZL_CTL_HELPER) + " " + args);
  }
  std::string status_log() const { return read_file(dir_ + "/status.log"); }

  std::string dir_;
  int port_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Both, Ctl, ::testing::Values("libzorvload.so", "libzorvload_unsafe.so"),
                         [](const auto& info) {
                           return std::string(info.param) == "libzorvload.so" ? "locked"
                                                                               : "unsafe";
                         });

// Scenarios whose output with the preload library equals the kernel's, and which make
// TCP connections on the card only when preloaded.
struct same_as_kernel {
  const char* name;
  const char* args;           // after the mode: IP, port added by the test
  const char* expect;         // text the output must hold
  bool holding_peer;          // a peer server that holds connections
  int peer_clients;           // connections a peer client makes to our server
};

TEST_P(Ctl, SameResultsAsTheKernelOverCardSessions) {
  ZT_REQUIRE_LAUNCHED();
  const same_as_kernel cases[] = {
      {"client", "client 198.18.0.2", "getpeername 198.18.0.2:", true, 0},
      {"nonblocking", "nonblocking 198.18.0.2", "completion connected", true, 0},
      {"refused", "refused 198.18.0.2", "connect-closed-port -1 ECONNREFUSED", false, 0},
      {"server", "server 198.18.0.1", "accepted 3 from 198.18.0.2 len 16", false, 4},
  };
  for (const same_as_kernel& c : cases) {
    SCOPED_TRACE(c.name);
    zt::cmd_result runs[2];
    const int port = port_ += 2;  // the same in both runs: the output shows it
    for (int preloaded = 0; preloaded < 2; ++preloaded) {
      std::unique_ptr<peer_program> peer;
      if (c.holding_peer) {
        peer = std::make_unique<peer_program>(holding_server(port), "/dev/null");
        ASSERT_TRUE(wait_listening("nsenter --net=$ZORV_PEER_NETNS ", port));
      }
      const std::string args = std::string(c.args) + " " + std::to_string(port) +
                               (c.peer_clients ? " " + std::to_string(c.peer_clients) : "");
      const long frames_before = zt::sim_counter("tcp_tx_frames");
      if (c.peer_clients == 0) {
        runs[preloaded] = preloaded ? with(args) : without(args);
      } else {
        // The client starts once the server listens; the server's run ends after it.
        const std::string out = dir_ + "/server.out";
        zt::run("(" + (preloaded ? "env " + preload() : std::string()) + ZL_CTL_HELPER + " " +
                args + " >" + out + " 2>&1; echo $? >" + out + ".rc) >/dev/null 2>&1 &");
        ASSERT_TRUE(wait_for_text(out, "shutdown-listener-wr"));
        peer = std::make_unique<peer_program>(connecting_client(port, c.peer_clients),
                                              "/dev/null");
        for (int i = 0; i < 600 && read_file(out + ".rc").empty(); ++i) usleep(50000);
        runs[preloaded] = {atoi(read_file(out + ".rc").c_str()), read_file(out)};
        zt::run("rm -f " + out + " " + out + ".rc");
      }
      const long card_frames = zt::sim_counter("tcp_tx_frames") - frames_before;
      if (preloaded)
        EXPECT_GT(card_frames, 0) << "no card session carried the connection";
      else
        EXPECT_EQ(card_frames, 0);
    }
    EXPECT_EQ(runs[0].status, 0) << runs[0].out;
    EXPECT_EQ(runs[1].status, 0) << runs[1].out;
    EXPECT_NE(runs[0].out.find(c.expect), std::string::npos) << runs[0].out;
    EXPECT_EQ(zt::without_routine_line(runs[1].out), runs[0].out);
  }
}

TEST_P(Ctl, FallbacksAreLoggedWithTheirReasonsAndBehaveAsTheKernel) {
  ZT_REQUIRE_LAUNCHED();
  // An interface that is not the card's: one end of a pair of virtual links.
  zt::run("ip link add zv0 type veth peer name zv1 && ip addr add 10.77.0.1/24 dev zv0 &&"
          " ip link set zv0 up && ip link set zv1 up");
  const std::string args = "fallbacks x " + std::to_string(port_);
  auto plain = without(args);
  auto ours = with(args);
  EXPECT_EQ(plain.status, 0) << plain.out;
  EXPECT_EQ(ours.status, 0) << ours.out;
  EXPECT_NE(plain.out.find("lo-connect ok"), std::string::npos) << plain.out;
  EXPECT_EQ(zt::without_routine_line(ours.out), plain.out);
  const std::string log = status_log();
  for (const char* reason :
       {"bind IP does not use zorvnic interface",
        "connecting to a local IP", "connect IP does not use zorvnic interface",
        "connect not using IPv4/AF_INET"}) {
    SCOPED_TRACE(reason);
    EXPECT_NE(log.find(std::string("fallback to kernel, reason: ") + reason), std::string::npos)
        << log;
  }
}

TEST_P(Ctl, ABoundSocketKeepsItsPortAfterFallingBack) {
  ZT_REQUIRE_LAUNCHED();
  const std::string args = "keep-port x " + std::to_string(port_);
  auto plain = without(args);
  auto ours = with(args);
  EXPECT_NE(plain.out.find("bind-same-port -1 EADDRINUSE"), std::string::npos) << plain.out;
  EXPECT_NE(plain.out.find("after fallback: port kept 1"), std::string::npos) << plain.out;
  EXPECT_EQ(zt::without_routine_line(ours.out), plain.out);
  EXPECT_NE(status_log().find("connect IP does not use zorvnic interface"), std::string::npos);
}

TEST_P(Ctl, ADescriptorClosedBehindACloseCallIsAFileAfterwards) {
  ZT_REQUIRE_LAUNCHED();
  const std::string args = "closed-behind x " + std::to_string(port_);
  auto plain = zt::run("cd " + dir_ + " && " + ZL_CTL_HELPER + " " + args);
  auto ours = zt::run("cd " + dir_ + " && env " + preload() + ZL_CTL_HELPER + " " + args);
  EXPECT_EQ(plain.out,
            "fclose: same number 1, file io ok\nclose_range: same number 1, file io ok\n"
            "dup2: same number 1, file io ok\n");
  EXPECT_EQ(zt::without_routine_line(ours.out), plain.out);
}

// A server over the card writes 16 MiB and closes at once while 2 % of its frames are lost
// on the wire: the Linux client still reads every byte and then a clean end of stream
// (our FIN after the data, the connection released only once it was delivered).
TEST_P(Ctl, CloseDeliversEverythingWrittenOverALossyWire) {
  ZT_REQUIRE_LAUNCHED();
  const std::string out = dir_ + "/server.out";
  const std::string port = std::to_string(port_);
  const long resets = zt::sim_counter("tcp_tx_resets");
  ASSERT_EQ(zt::sim_ctl("impair 0 tx loss=2").out.find("ok"), 0u);
  std::string client;
  {
    background server("env " + preload() + "python3 " + ZL_CLOSE_PROGRAMS +
                          " send-and-close 198.18.0.1 " + port + " 16",
                      out);
    ASSERT_TRUE(wait_for_text(out, "listening"));
    client = zt::peer_run(std::string("python3 ") + ZL_CLOSE_PROGRAMS + " read-to-eof 198.18.0.1 " +
                          port)
                 .out;
    wait_for_text(out, "sent ");
  }
  zt::sim_ctl("impair 0 tx off");
  const std::string server = read_file(out);
  const size_t at = server.find("sent 16777216 ");
  ASSERT_NE(at, std::string::npos) << server;
  const std::string digest = server.substr(at + 14, 64);
  EXPECT_NE(client.find("read 16777216 " + digest + " eof"), std::string::npos) << client;
  EXPECT_EQ(zt::sim_counter("tcp_tx_resets"), resets) << "the connection was reset";
  EXPECT_GT(zt::sim_counter("impair_dropped"), 0);
}

// shutdown(SHUT_WR) sends our FIN and the reply still arrives; a peer that half-closes
// first still gets our reply.
TEST_P(Ctl, HalfClosedConnectionsStillCarryTheReply) {
  ZT_REQUIRE_LAUNCHED();
  const std::string programs = std::string("python3 ") + ZL_CLOSE_PROGRAMS;
  const std::string out = dir_ + "/side.out";
  for (bool we_ask : {true, false}) {
    SCOPED_TRACE(we_ask ? "our client half-closes" : "the peer's client half-closes");
    const std::string port = std::to_string(port_ += 1);
    const long frames = zt::sim_counter("tcp_tx_frames");
    std::string asker;
    {
      const std::string server_cmd =
          programs + " reply-after-eof " + (we_ask ? peer_ip : card_ip) + " " + port;
      background server(we_ask ? "nsenter --net=$ZORV_PEER_NETNS " + server_cmd
                               : "env " + preload() + server_cmd,
                        out);
      ASSERT_TRUE(wait_for_text(out, "listening"));
      const std::string ask = programs + " ask-and-half-close " +
                              (we_ask ? peer_ip : card_ip) + " " + port;
      asker = we_ask ? zt::run("env " + preload() + ask).out : zt::peer_run(ask).out;
    }
    const size_t at = asker.find("asked ");
    ASSERT_NE(at, std::string::npos) << asker;
    EXPECT_NE(asker.find("reply: request of 1048576 bytes " + asker.substr(at + 6, 64)),
              std::string::npos)
        << asker;
    EXPECT_GT(zt::sim_counter("tcp_tx_frames"), frames);
  }
}

// The kernel leaves a blocked accept blocked when another thread closes the socket; over
// the card the close ends it, so that such a program can stop its accepting thread.
TEST_P(Ctl, CloseOrShutdownFromAnotherThreadEndsABlockedAcceptOrConnect) {
  ZT_REQUIRE_LAUNCHED();
  auto accept_closed = with("close-wakes-accept 198.18.0.1 " + std::to_string(port_));
  EXPECT_NE(accept_closed.out.find("accept ended -1 EBADF"), std::string::npos)
      << accept_closed.out;
  auto accept_shut = with("shutdown-wakes-accept 198.18.0.1 " + std::to_string(port_ + 1));
  auto kernel_shut = without("shutdown-wakes-accept 198.18.0.1 " + std::to_string(port_ + 1));
  EXPECT_NE(kernel_shut.out.find("accept ended -1 EINVAL"), std::string::npos) << kernel_shut.out;
  EXPECT_NE(accept_shut.out.find("accept ended -1 EINVAL"), std::string::npos) << accept_shut.out;
  // A handshake that never completes: the peer's frames are lost, after a first
  // connection has resolved the peer's address.
  peer_program peer(holding_server(port_ + 2), "/dev/null");
  ASSERT_TRUE(wait_listening("nsenter --net=$ZORV_PEER_NETNS ", port_ + 2));
  with("refused 198.18.0.2 " + std::to_string(port_ + 3));
  zt::sim_ctl("impair 0 rx loss=100");
  auto connect_closed = with("close-wakes-connect 198.18.0.2 " + std::to_string(port_ + 2));
  zt::sim_ctl("impair 0 rx off");
  EXPECT_NE(connect_closed.out.find("connect ended -1 EBADF"), std::string::npos)
      << connect_closed.out;
}

// Makes n connections to the card address, one after the other, each sending a
// greeting, then reads every echo and keeps them open.
std::string greeting_client(int port, int n) {
  return "import socket,resource,time\nresource.setrlimit(resource.RLIMIT_NOFILE,(8192,8192))\n"
         "held=[]\nfor i in range(" + std::to_string(n) + "):\n c=socket.create_connection((\"" +
         card_ip + "\"," + std::to_string(port) + "),timeout=60)\n c.sendall(b\"hello %d\"%i)\n"
         " held.append(c)\nok=sum(c.recv(64)==b\"hello %d\"%i for i,c in enumerate(held))\n"
         "print(\"echoed\",ok,flush=True)\ntime.sleep(300)";
}

// Card TCP sessions of port 0 that delivered something to the program.
int busy_tcp_sessions() {
  std::istringstream lines(zt::sim_ctl("counters 0").out);
  int busy = 0;
  for (std::string line; std::getline(lines, line);)
    busy += line.starts_with("tcp") && line.find(".rx_delivered ") != std::string::npos &&
            !line.ends_with(" 0");
  return busy;
}

// 2000 accepted connections with RLIMIT_NOFILE 4096, each echoing a greeting over its own
// card session: their descriptors reach far past 1023 and stay inside the table.
TEST_P(Ctl, TwoThousandAcceptedConnectionsEchoOverCardSessions) {
  ZT_REQUIRE_LAUNCHED();
  const int n = 2000;
  const std::string out = dir_ + "/many.out", peer_out = dir_ + "/peer.out";
  background server("env " + preload() + ZL_CTL_HELPER + " many-accepts 198.18.0.1 " +
                        std::to_string(port_) + " " + std::to_string(n) + " 0",
                    out);
  ASSERT_TRUE(wait_for_text(out, "listen ok"));
  peer_program peer(greeting_client(port_, n), peer_out);
  // Thousands of handshakes through the simulator take long on a loaded machine.
  ASSERT_TRUE(wait_for_text(out, "accepted ", "accept -1", 400)) << read_file(out);
  ASSERT_TRUE(wait_for_text(peer_out, "echoed ", "Error", 60)) << read_file(peer_out);
  const std::string many = read_file(out);
  int accepted = 0, above = 0, named = 0, echoed = 0, highest = 0;
  ASSERT_EQ(sscanf(many.substr(many.find("accepted ")).c_str(),
                   "accepted %d above-1023 %d named %d echoed %d highest %d", &accepted, &above,
                   &named, &echoed, &highest), 5) << many;
  EXPECT_EQ(accepted, n);
  EXPECT_EQ(named, n);
  EXPECT_EQ(echoed, n);
  EXPECT_GT(above, n / 2) << many;
  EXPECT_LT(highest, 4096);
  EXPECT_NE(read_file(peer_out).find("echoed " + std::to_string(n)), std::string::npos)
      << read_file(peer_out);
  EXPECT_GE(busy_tcp_sessions(), n);
  std::cout << many;  // with what a connection costs in descriptors
}

// An accept whose descriptor would lie past the table is refused with EMFILE, and its
// connection waits for a later accept.
TEST_P(Ctl, AcceptPastTheTableRefusedWithTheConnectionKept) {
  ZT_REQUIRE_LAUNCHED();
  const std::string past = dir_ + "/past.out";
  background server("env " + preload() + ZL_CTL_HELPER + " accept-past-table 198.18.0.1 " +
                        std::to_string(port_) + " 65536",
                    past);
  ASSERT_TRUE(wait_for_text(past, "listen ok", "setrlimit -1"));
  peer_program peer(connecting_client(port_, 1), "/dev/null");
  wait_for_text(past, "accept-below", "setrlimit -1");
  const std::string text = read_file(past);
  if (text.find("setrlimit -1") != std::string::npos)
    GTEST_SKIP() << "the descriptor limit cannot be raised past 65536 here: " << text;
  EXPECT_NE(text.find("accept-past-table -1 EMFILE"), std::string::npos) << text;
  EXPECT_NE(text.find("accept-below 198.18.0.2"), std::string::npos) << text;
}

}  // namespace
